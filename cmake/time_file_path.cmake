# What the time file's path may be. It goes as written into a C++ string
# literal, the start-up line, the manual page and the systemd unit, whose
# path settings unquote quotes and backslashes, expand '%', split at white
# space and, in BindPaths=, at ':'. So it may hold only what every one of
# them carries unchanged. The unit also makes the file's whole directory
# writable and visible to the daemon, so that directory may be neither '/'
# nor a top-level one such as /home, /var or /etc: it must be the daemon's
# own.
set(vantrel_path_rule "an absolute path to a file in a directory of its own below a top-level one, such as /var/lib/NAME/FILE or /run/NAME/FILE: names of letters, digits, '.', '_' and '-', each after a single '/', none of them '.' or '..', and no '/' at the end")

# Sets `result` to TRUE when `path` keeps that rule, to FALSE otherwise.
function(vantrel_path_keeps_rule path result)
  set(keeps FALSE)
  if(path MATCHES "^(/[A-Za-z0-9._-]+)(/[A-Za-z0-9._-]+)+(/[A-Za-z0-9._-]+)$" AND NOT path MATCHES "/\\.\\.?(/|$)")
    set(keeps TRUE)
  endif()
  set(${result} ${keeps} PARENT_SCOPE)
endfunction()
