# What the time file's path may be. It goes as written into a C++ string
# literal, the start-up line, the manual page and the systemd unit, whose
# path settings unquote quotes and backslashes, expand '%', split at white
# space and, in BindPaths=, at ':'. So it may hold only what every one of
# them carries unchanged.
set(vantrel_path_rule "an absolute path to a file: names of letters, digits, '.', '_' and '-', each after a single '/', none of them '.' or '..', and no '/' at the end")

# Sets `result` to TRUE when `path` keeps that rule, to FALSE otherwise.
function(vantrel_path_keeps_rule path result)
  set(keeps FALSE)
  if(path MATCHES "^(/[A-Za-z0-9._-]+)+$" AND NOT path MATCHES "/\\.\\.?(/|$)")
    set(keeps TRUE)
  endif()
  set(${result} ${keeps} PARENT_SCOPE)
endfunction()
