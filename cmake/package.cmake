# Makes the Windows downloads from a built tree: a per-user MSI, a portable zip and their
# checksums. Run as a script:
#   cmake -DPLOVANE_VERSION=1.00 -DBIN_DIR=<bin> -DOUT_DIR=<dist> -DWORK_DIR=<scratch>
#         -DSOURCE_DIR=<tree> -P cmake/package.cmake
foreach(name PLOVANE_VERSION BIN_DIR OUT_DIR WORK_DIR SOURCE_DIR)
  if(NOT DEFINED ${name})
    message(FATAL_ERROR "package.cmake needs -D${name}=...")
  endif()
endforeach()
if(NOT PLOVANE_VERSION MATCHES "^([0-9]+)\\.([0-9][0-9])$")
  message(FATAL_ERROR "PLOVANE_VERSION must be <major>.<two-digit minor>, not ${PLOVANE_VERSION}")
endif()
math(EXPR major "${CMAKE_MATCH_1}")
math(EXPR minor "${CMAKE_MATCH_2}")
find_program(WIXL wixl REQUIRED)
find_program(MSIBUILD msibuild REQUIRED)

set(base plovane-actions-${PLOVANE_VERSION})
set(stage ${WORK_DIR}/${base}-win32)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${stage} ${OUT_DIR})
foreach(shipped plovane-actions.exe actions-menu.exe messenger-standin.dll)
  file(COPY ${BIN_DIR}/${shipped} DESTINATION ${stage})
endforeach()
configure_file(${SOURCE_DIR}/packaging/README.txt.in ${stage}/README.txt @ONLY NEWLINE_STYLE CRLF)

function(run)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${stage} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}")
  endif()
endfunction()

# wixl finds the files by name in the folder it runs in, the staged one.
set(msi ${OUT_DIR}/${base}.msi)
run(${WIXL} -D Version=${PLOVANE_VERSION} -D MsiVersion=${major}.${minor}.0 -o ${msi}
    ${SOURCE_DIR}/packaging/plovane-actions.wxs)
# wixl 0.101 knows neither a component's Condition nor MajorUpgrade's Schedule; set both here.
# The stand-in's class is written only where no other live server holds the class, per machine
# or per user: a registration naming our own installed DLL is an earlier version's, and one whose
# folder is gone is a deleted copy's. No program may serve it either. The earlier version goes
# before this one installs, as WiX schedules it by default.
set(free_machine "(NOT MACHINESERVER OR NOT MACHINESERVERFOLDER OR MACHINESERVER ~= OWNSERVER)")
set(free_user "(NOT USERSERVER OR NOT USERSERVERFOLDER OR USERSERVER ~= OWNSERVER)")
set(no_program "NOT MACHINEPROGRAM AND NOT USERPROGRAM")
run(${MSIBUILD} ${msi} -q
    "UPDATE `Component` SET `Condition` = '${free_machine} AND ${free_user} AND ${no_program}' WHERE `Component` = 'StandInClass'")
run(${MSIBUILD} ${msi} -q
    "UPDATE `InstallExecuteSequence` SET `Sequence` = 1401 WHERE `Action` = 'RemoveExistingProducts'")

set(zip ${OUT_DIR}/${base}-win32.zip)
file(REMOVE ${zip})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${zip} --format=zip ${base}-win32
                WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "could not write ${zip}")
endif()

set(sums "")
foreach(download ${msi} ${zip})
  file(SHA256 ${download} hash)
  get_filename_component(name ${download} NAME)
  string(APPEND sums "${hash}  ${name}\n")
endforeach()
file(WRITE ${OUT_DIR}/SHA256SUMS "${sums}")
message(STATUS "Windows downloads in ${OUT_DIR}: ${base}.msi ${base}-win32.zip SHA256SUMS")
