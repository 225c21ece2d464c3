# qm_add_resources(<target> <script.rc> [<more.rc> ...] [SYMBOL <name>] [EXPORT]
#                  [DEFINES NAME=VALUE ...] [INCLUDE_DIRS <dir> ...] [DEPENDS <file> ...])
#
# Compiles resource scripts with qmrc into one blob and adds the generated
# source to <target>, so that the module <target> ends up in carries the resources in its
# resource section. The script sees QM_VERSION_MAJOR, QM_VERSION_MINOR,
# QM_VERSION_PATCH (the project version) and QM_VERSION_STRING ("3.2.1") besides
# DEFINES. With EXPORT the blob gets external C linkage under SYMBOL (default
# qmrsrc_<target>_<script name>), which code can reference to pull the object out
# of a static library. Headers the scripts #include (searched beside the
# script, then in INCLUDE_DIRS) are tracked through a depfile; DEPENDS names
# further files they read (ICON, BITMAP, RCDATA files).
function(qm_add_resources target script)
  cmake_parse_arguments(A "EXPORT" "SYMBOL" "DEFINES;INCLUDE_DIRS;DEPENDS" ${ARGN})
  set(abs)
  foreach(s IN ITEMS ${script} ${A_UNPARSED_ARGUMENTS})
    get_filename_component(a ${s} ABSOLUTE)
    list(APPEND abs ${a})
  endforeach()
  get_filename_component(stem ${script} NAME_WE)
  if(NOT A_SYMBOL)
    string(MAKE_C_IDENTIFIER "qmrsrc_${target}_${stem}" A_SYMBOL)
  endif()
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}_${stem}_rc.cpp)
  set(args
    -DQM_VERSION_MAJOR=${PROJECT_VERSION_MAJOR}
    -DQM_VERSION_MINOR=${PROJECT_VERSION_MINOR}
    -DQM_VERSION_PATCH=${PROJECT_VERSION_PATCH}
    "-DQM_VERSION_STRING=\"${PROJECT_VERSION}\"")
  foreach(d IN LISTS A_DEFINES)
    list(APPEND args "-D${d}")
  endforeach()
  foreach(d IN LISTS A_INCLUDE_DIRS)
    get_filename_component(dabs ${d} ABSOLUTE)
    list(APPEND args -I ${dabs})
  endforeach()
  if(A_EXPORT)
    list(APPEND args --export)
  endif()
  add_custom_command(
    OUTPUT ${out}
    COMMAND qmrc ${args} --symbol ${A_SYMBOL} --depfile ${out}.d -o ${out} ${abs}
    DEPENDS qmrc ${abs} ${A_DEPENDS}
    DEPFILE ${out}.d
    COMMENT "Compiling resources ${script}"
    VERBATIM)
  target_sources(${target} PRIVATE ${out})
endfunction()
