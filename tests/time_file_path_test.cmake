# The paths the build refuses for the time file, and some it takes. Run by
# CTest: cmake -DSOURCE_DIR=... -P time_file_path_test.cmake
include("${SOURCE_DIR}/cmake/time_file_path.cmake")

set(tab "\t")
set(refused
  "curtime.dat" "data/curtime.dat" "" "/" "/home/ovrin/data/" "/home/ovrin/data//curtime.dat"
  "/home/ovrin/./data/curtime.dat" "/home/ovrin/../curtime.dat" "/home/ovrin/data/.."
  "/home/o'vrin/curtime.dat" "/home/o\"vrin/curtime.dat" "/home/o\\vrin/curtime.dat"
  "/home/ovrin/my data/curtime.dat" "/home/ovrin/my${tab}data/curtime.dat" "/home/ovrin/data\n/curtime.dat"
  "/home/%u/curtime.dat" "/home/$USER/curtime.dat" "/mnt/a:b/curtime.dat" "/home/ovrin/cürtime.dat"
  "/now.dat" "/home/x.dat" "/var/x.dat" "/tmp/x.dat" "/etc/x.dat")
set(taken "/home/ovrin/data/curtime.dat" "/var/lib/clock/now.dat" "/run/vantrel/now.dat" "/srv/.clock-2/cur_time.dat")

set(wrong "")
foreach(path IN LISTS refused)
  vantrel_path_keeps_rule("${path}" keeps)
  if(keeps)
    string(APPEND wrong "  taken, but must be refused: '${path}'\n")
  endif()
endforeach()
foreach(path IN LISTS taken)
  vantrel_path_keeps_rule("${path}" keeps)
  if(NOT keeps)
    string(APPEND wrong "  refused, but must be taken: '${path}'\n")
  endif()
endforeach()
if(wrong)
  message(FATAL_ERROR "The time file's path rule is wrong:\n${wrong}")
endif()
