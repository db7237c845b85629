# Makes the Windows downloads from a built tree: a per-user MSI, a portable zip and their
# checksums. Run as a script:
#   cmake -DPLOVANE_VERSION=1.00 -DBIN_DIR=<bin> -DOUT_DIR=<dist> -DWORK_DIR=<scratch>
#         -DSOURCE_DIR=<tree> [-DCXX_COMPILER=<the build's compiler>] -P cmake/package.cmake
# One commit always gives the same bytes: every time written is SOURCE_DATE_EPOCH (the commit's
# time when the environment does not set it). With PLOVANE_SIGN_PFX and
# PLOVANE_SIGN_PASSWORD_FILE in the environment the programs and the MSI are signed
# (PLOVANE_SIGN_TIMESTAMP_URL adds a time stamp).
foreach(name PLOVANE_VERSION BIN_DIR OUT_DIR WORK_DIR SOURCE_DIR)
  if(NOT DEFINED ${name})
    message(FATAL_ERROR "package.cmake needs -D${name}=...")
  endif()
endforeach()
# The downloads are made in WORK_DIR and moved to OUT_DIR only once all of them are whole. Those
# of an earlier run go first, before anything here can fail: a run that fails leaves none behind,
# where a release step that missed the failure would publish them (unsigned, say, with sums that
# still check out).
file(GLOB earlier_downloads ${OUT_DIR}/plovane-actions-*.msi ${OUT_DIR}/plovane-actions-*-win32.zip
     ${OUT_DIR}/plovane-actions-*-build-record.txt ${OUT_DIR}/SHA256SUMS)
if(earlier_downloads)
  file(REMOVE ${earlier_downloads})
endif()
if(NOT PLOVANE_VERSION MATCHES "^([0-9]+)\\.([0-9][0-9])$")
  message(FATAL_ERROR "PLOVANE_VERSION must be <major>.<two-digit minor>, not ${PLOVANE_VERSION}")
endif()
math(EXPR major "${CMAKE_MATCH_1}")
math(EXPR minor "${CMAKE_MATCH_2}")
find_program(WIXL wixl REQUIRED)
find_program(MSIBUILD msibuild REQUIRED)
find_program(PYTHON3 python3 REQUIRED)
if(NOT CXX_COMPILER)
  set(CXX_COMPILER i686-w64-mingw32-g++-posix)
endif()

function(git_output var)
  execute_process(COMMAND git -C ${SOURCE_DIR} ${ARGN} OUTPUT_VARIABLE out
                  RESULT_VARIABLE status OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT status EQUAL 0)
    set(out "")
  endif()
  set(${var} "${out}" PARENT_SCOPE)
endfunction()

# The time every file of the downloads carries.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
else()
  git_output(epoch log -1 --format=%ct)
endif()
if(NOT epoch MATCHES "^[0-9]+$")
  message(FATAL_ERROR "Set SOURCE_DATE_EPOCH (seconds since 1970) or package from a git clone: "
                      "the downloads take their time from it (got '${epoch}')")
endif()
set(ENV{SOURCE_DATE_EPOCH} ${epoch})

# Signing: a certificate and the file holding its password, or neither.
set(sign_pfx "$ENV{PLOVANE_SIGN_PFX}")
set(sign_password_file "$ENV{PLOVANE_SIGN_PASSWORD_FILE}")
if(sign_pfx)
  if(NOT sign_password_file OR NOT EXISTS "${sign_password_file}" OR NOT EXISTS "${sign_pfx}")
    message(FATAL_ERROR "PLOVANE_SIGN_PFX needs the certificate file and PLOVANE_SIGN_PASSWORD_FILE "
                        "naming the file that holds its password")
  endif()
  find_program(OSSLSIGNCODE osslsigncode REQUIRED)
endif()

set(base plovane-actions-${PLOVANE_VERSION})
set(stage ${WORK_DIR}/${base}-win32)
set(download_dir ${WORK_DIR}/downloads)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${stage} ${download_dir} ${OUT_DIR})
set(programs plovane-actions.exe actions-menu.exe messenger-standin.dll)
foreach(shipped ${programs})
  file(COPY ${BIN_DIR}/${shipped} DESTINATION ${stage})
endforeach()
# The MSI's close step, carried in the MSI alone.
set(close_step ${WORK_DIR}/close-installed.exe)
file(COPY ${BIN_DIR}/close-installed.exe DESTINATION ${WORK_DIR})
configure_file(${SOURCE_DIR}/packaging/README.txt.in ${stage}/README.txt @ONLY NEWLINE_STYLE CRLF)

function(run)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${stage} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}")
  endif()
endfunction()

# Authenticode, SHA-256, signed at the build's time so that two signings of one file agree. The
# password goes to osslsigncode as a file name, never as an argument.
function(sign file)
  if(NOT sign_pfx)
    return()
  endif()
  set(stamp "")
  if(DEFINED ENV{PLOVANE_SIGN_TIMESTAMP_URL} AND NOT "$ENV{PLOVANE_SIGN_TIMESTAMP_URL}" STREQUAL "")
    set(stamp -ts "$ENV{PLOVANE_SIGN_TIMESTAMP_URL}")
  endif()
  file(REMOVE ${file}.signed)
  execute_process(COMMAND ${OSSLSIGNCODE} sign -pkcs12 ${sign_pfx} -readpass ${sign_password_file}
                          -h sha256 -n "Plovane - Add Programs to Actions list" -time ${epoch}
                          ${stamp} -in ${file} -out ${file}.signed
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "could not sign ${file}:\n${out}")
  endif()
  file(RENAME ${file}.signed ${file})
endfunction()

if(sign_pfx)
  message(STATUS "Signing with ${sign_pfx}")
else()
  message(STATUS "No certificate given (PLOVANE_SIGN_PFX): the downloads are not signed")
endif()
# The programs are signed before anything packs them, so that the MSI and the zip carry the
# signed files.
foreach(shipped ${programs})
  sign(${stage}/${shipped})
endforeach()
sign(${close_step})
execute_process(COMMAND touch -h -d @${epoch} ${stage} ${stage}/README.txt ${stage}/plovane-actions.exe
                        ${stage}/actions-menu.exe ${stage}/messenger-standin.dll
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "could not set the staged files' times")
endif()

# One version is one product (a rebuild installs over it); one content is one package. Both are
# name-based UUIDs under the fixed UpgradeCode.
set(family 6B0E1C52-3F7A-4C8E-9D21-5A4F0B7C3E19)
string(UUID product_code NAMESPACE ${family} NAME "ProductCode ${PLOVANE_VERSION}" TYPE SHA1 UPPER)
set(content "PackageCode ${PLOVANE_VERSION}")
foreach(input ${stage}/README.txt ${SOURCE_DIR}/packaging/plovane-actions.wxs
        ${CMAKE_CURRENT_LIST_FILE})
  file(SHA256 ${input} hash)
  string(APPEND content " ${hash}")
endforeach()
foreach(shipped ${programs})
  file(SHA256 ${stage}/${shipped} hash)
  string(APPEND content " ${hash}")
endforeach()
file(SHA256 ${close_step} hash)
string(APPEND content " ${hash}")
string(UUID package_code NAMESPACE ${family} NAME "${content}" TYPE SHA1 UPPER)

# wixl finds the files by name in the folder it runs in, the staged one (and takes no absolute
# path: the close step, beside that folder, is named from it).
set(msi ${download_dir}/${base}.msi)
run(${WIXL} -D Version=${PLOVANE_VERSION} -D MsiVersion=${major}.${minor}.0
    -D ProductCode={${product_code}} -D CloseStep=../close-installed.exe -o ${msi}
    ${SOURCE_DIR}/packaging/plovane-actions.wxs)
# wixl 0.101 knows neither a component's Condition nor MajorUpgrade's Schedule; set both here.
# The stand-in's class is written only where no other live server holds the class, per machine
# or per user: a registration naming our own installed DLL is an earlier version's, one whose
# folder is gone is a deleted copy's, and one carrying the stand-in's mark beside the same path is
# a zip copy's (regsvr32 of the stand-in writes it). No program may serve it either. The earlier
# version goes before this one installs, as WiX schedules it by default.
set(free_machine "(NOT MACHINESERVER OR NOT MACHINESERVERFOLDER OR MACHINESERVER ~= OWNSERVER OR MACHINESERVER ~= MACHINESTANDIN)")
set(free_user "(NOT USERSERVER OR NOT USERSERVERFOLDER OR USERSERVER ~= OWNSERVER OR USERSERVER ~= USERSTANDIN)")
set(no_program "NOT MACHINEPROGRAM AND NOT USERPROGRAM")
run(${MSIBUILD} ${msi} -q
    "UPDATE `Component` SET `Condition` = '${free_machine} AND ${free_user} AND ${no_program}' WHERE `Component` = 'StandInClass'")
run(${MSIBUILD} ${msi} -q
    "UPDATE `InstallExecuteSequence` SET `Sequence` = 1401 WHERE `Action` = 'RemoveExistingProducts'")
# What runs from the installed folder is closed before its files go (an uninstall, or an
# upgrade replacing them): a running program's file cannot be deleted, and the files would stay
# behind. The close step (packaging/close_installed.cpp) asks only the programs started from
# that folder to close, as the user's own close would; a portable copy elsewhere runs on. wixl
# cannot write this action (type 2, an .exe from the Binary table; +64: its exit status is no
# failure), so it is added here, before the installer checks for files in use. The folder goes
# with a "." after it: a backslash before the closing quote would escape it.
run(${MSIBUILD} ${msi} -q
    "INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES ('CloseRunningPrograms', 66, 'CloseStep', '\"[INSTALLDIR].\"')")
run(${MSIBUILD} ${msi} -q
    "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('CloseRunningPrograms', 'REMOVE=\"ALL\" OR WIX_UPGRADE_DETECTED', 1399)")
# A file of the package that a program running elsewhere still holds (a portable copy's tool
# has the installed stand-in loaded) stays where the installer leaves it: for good under Wine.
# The same program then moves it aside, to go at the next restart, so that the folder goes now
# and an upgrade's new file takes its place at once. Deferred (+1024) after RemoveFiles, and on
# an uninstall only: an upgrade's removal of the earlier version is one too.
string(REPLACE ";" " " shipped_names "${programs};README.txt")
run(${MSIBUILD} ${msi} -q
    "INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES ('ReleaseHeldFiles', 1090, 'CloseStep', '/release \"[INSTALLDIR].\" ${shipped_names}')")
run(${MSIBUILD} ${msi} -q
    "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('ReleaseHeldFiles', 'REMOVE=\"ALL\"', 3501)")

# wixl draws a package code at random and stamps the clock: both are set here, last of all the
# edits, and the MSI is signed as it will ship.
# (Called here, not through run(): the template's ";" would split it in two.)
execute_process(COMMAND ${MSIBUILD} ${msi} -s "Plovane - Add Programs to Actions list ${PLOVANE_VERSION}"
                        Plovane "Intel;1033" "{${package_code}}"
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "could not set the MSI's summary")
endif()
run(${PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/package_files.py msi-times ${msi} ${epoch})
sign(${msi})

set(zip ${download_dir}/${base}-win32.zip)
file(REMOVE ${zip})
run(${PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/package_files.py zip ${zip} ${stage} ${epoch})

set(sums "")
foreach(download ${msi} ${zip})
  file(SHA256 ${download} hash)
  get_filename_component(name ${download} NAME)
  string(APPEND sums "${hash}  ${name}\n")
endforeach()
file(WRITE ${download_dir}/SHA256SUMS "${sums}")
include(${CMAKE_CURRENT_LIST_DIR}/build_record.cmake)
# All made: into place, the sums last.
foreach(name ${base}.msi ${base}-win32.zip ${base}-build-record.txt SHA256SUMS)
  file(RENAME ${download_dir}/${name} ${OUT_DIR}/${name})
endforeach()
message(STATUS "Windows downloads in ${OUT_DIR}: ${base}.msi ${base}-win32.zip SHA256SUMS")
