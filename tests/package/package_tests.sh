#!/usr/bin/env bash
# The Windows downloads. Builds them at the tree's version and at a lower one, checks both as
# files (msiinfo) everywhere, then installs, runs, upgrades and removes them under each Wine that
# can run them here, each scenario in a fresh prefix of its own: a copy of one clean template
# prefix per Wine and Windows (build/wine-i686-package, build/wine10-x86_64-package, ... made by
# scripts/setup and never run in). Under Wine 8 where this machine runs 32-bit code: every
# scenario in a 32-bit prefix, those that matter on 64-bit Windows once more in a 64-bit one.
# Under Wine 10 the same where 32-bit code runs natively; where it runs emulated (qemu-i386,
# scripts/wine10), every scenario in a 64-bit prefix alone.
# Needs an X display (scripts/test gives it one) and the i686 build with package-checks.exe.
# Prints "package tests: N passed, N failed" and fails when any check fails, or when a Wine
# that should have run the downloads ran none of them.
set -uo pipefail
. "$(dirname "$0")/../../scripts/lib.sh"
. "$(dirname "$0")/test_certificate.sh"
. "$(dirname "$0")/checks.sh"

OLD_VERSION=0.90
work=$ROOT/build/package-tests
logs=$work/logs
win() { printf 'Z:%s' "$1" | tr '/' '\\'; }

# --- building -------------------------------------------------------------------------------

# The version the shipped build was made with (PLOVANE_VERSION, CMakeLists.txt).
shipped_version() { sed -n 's/^PLOVANE_VERSION:STRING=//p' "$ROOT/build/i686/CMakeCache.txt"; }

package_from() {  # version, bin folder
    cmake -DPLOVANE_VERSION="$1" -DBIN_DIR="$2" -DOUT_DIR="$work/dist-$1" \
        -DWORK_DIR="$work/stage-$1" -DSOURCE_DIR="$ROOT" -P "$ROOT/cmake/package.cmake"
}

# The same version again, signed with a throwaway certificate: a rebuild with other bytes.
package_signed() {
    make_test_certificate "$work/cert" &&
        PLOVANE_SIGN_PFX=$work/cert/cert.pfx PLOVANE_SIGN_PASSWORD_FILE=$work/cert/password \
            cmake -DPLOVANE_VERSION="$VERSION" -DBIN_DIR="$ROOT/build/i686/bin" \
            -DOUT_DIR="$work/dist-signed" -DWORK_DIR="$work/stage-signed" -DSOURCE_DIR="$ROOT" \
            -P "$ROOT/cmake/package.cmake"
}

build_packages() {
    local old_build=$work/i686-$OLD_VERSION
    package_from "$VERSION" "$ROOT/build/i686/bin" &&
        cmake -S "$ROOT" -B "$old_build" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" \
            -DCMAKE_BUILD_TYPE=MinSizeRel -DPLOVANE_VERSION=$OLD_VERSION \
            -DPLOVANE_BUILD_TESTS=OFF &&
        cmake --build "$old_build" -j "$(nproc)" --target plovane-actions messenger-standin \
            actions-menu close-installed &&
        package_from "$OLD_VERSION" "$old_build/bin" &&
        package_signed
}

# --- the packages as files ------------------------------------------------------------------

# msiinfo export writes a table's binary streams (the close step) into a folder of the current
# one: run it where that lands in the test's own work folder, never in the source tree.
table() { (cd "$work" && msiinfo export "$1" "$2") | tail -n +4 | tr -d '\r'; }
property() { table "$1" Property | awk -F'\t' -v p="$2" '$1 == p { print $2 }'; }
expect_eq() {  # what it is, actual, expected
    [ "$2" = "$3" ] && return 0
    printf '%s:\n  got:      %s\n  expected: %s\n' "$1" "$2" "$3"
    return 1
}
class_key='Software\Classes\CLSID\{E3A3B1D9-5675-43C0-BF04-37BE11939FB7}'

names_carry_the_version() {
    ls "$work/dist-$VERSION" &&
        [ -f "$MSI" ] && [ -f "$ZIP" ] && [ -f "$work/dist-$VERSION/SHA256SUMS" ]
}
checksums_match() {
    expect_eq "files summed" "$(awk '{print $2}' "$work/dist-$VERSION/SHA256SUMS" | sort | xargs)" \
        "$(basename "$ZIP") $(basename "$MSI")" &&
        (cd "$work/dist-$VERSION" && sha256sum -c SHA256SUMS)
}
versions_and_codes() {
    expect_eq "new ProductVersion" "$(property "$MSI" ProductVersion)" "$MSI_VERSION" &&
        expect_eq "old ProductVersion" "$(property "$OLD_MSI" ProductVersion)" "$OLD_MSI_VERSION" &&
        expect_eq "UpgradeCode" "$(property "$OLD_MSI" UpgradeCode)" "$UPGRADE_CODE" &&
        expect_eq "UpgradeCode" "$UPGRADE_CODE" '{6B0E1C52-3F7A-4C8E-9D21-5A4F0B7C3E19}' &&
        [ "$(property "$MSI" ProductCode)" != "$(property "$OLD_MSI" ProductCode)" ]
}
per_user() {
    local words
    words=$(msiinfo suminfo "$MSI" | sed -n 's/^Source: \([0-9]*\).*/\1/p')
    echo "summary word count: $words (8: no elevation)"
    expect_eq "ALLUSERS" "$(property "$MSI" ALLUSERS)$(property "$MSI" MSIINSTALLPERUSER)" "" &&
        [ $((words & 8)) -eq 8 ]
}
files_and_folders() {
    local folders
    folders=$(table "$MSI" Directory)
    printf '%s\n' "$folders"
    expect_eq "files" "$(table "$MSI" File | cut -f3 | sort | xargs)" \
        "README.txt actions-menu.exe messenger-standin.dll plovane-actions.exe" &&
        expect_eq "their folder" "$(table "$MSI" File | cut -f2 | sort -u)" "ProgramFiles" &&
        table "$MSI" Component | grep -q "^ProgramFiles	[^	]*	INSTALLDIR	" &&
        grep -qx "INSTALLDIR	UserProgramsFolder	Plovane" <<<"$folders" &&
        grep -qx "UserProgramsFolder	LocalAppDataFolder	Programs" <<<"$folders" &&
        grep -qx "LocalAppDataFolder	TARGETDIR	." <<<"$folders" &&
        grep -qx "MenuFolder	ProgramMenuFolder	Plovane" <<<"$folders"
}
registry_rows() {
    local rows
    rows=$(table "$MSI" Registry | cut -f2-6 | sort)
    printf '%s\n' "$rows"
    expect_eq "roots" "$(cut -f1 <<<"$rows" | sort -u)" "1" &&
        grep -qxF "1	$class_key		Plovane Messenger stand-in session manager	StandInClass" <<<"$rows" &&
        grep -qxF "1	$class_key\\InprocServer32		[#StandInDll]	StandInClass" <<<"$rows" &&
        grep -qxF "1	$class_key\\InprocServer32	ThreadingModel	Apartment	StandInClass" <<<"$rows" &&
        ! table "$MSI" SelfReg 2>/dev/null | grep -q .
}
class_condition() {
    table "$MSI" RegLocator
    table "$MSI" AppSearch
    expect_eq "condition" "$(table "$MSI" Component | awk -F'\t' '$1 == "StandInClass" { print $5 }')" \
        "(NOT MACHINESERVER OR NOT MACHINESERVERFOLDER OR MACHINESERVER ~= OWNSERVER OR MACHINESERVER ~= MACHINESTANDIN) AND (NOT USERSERVER OR NOT USERSERVERFOLDER OR USERSERVER ~= OWNSERVER OR USERSERVER ~= USERSTANDIN) AND NOT MACHINEPROGRAM AND NOT USERPROGRAM" &&
        table "$MSI" RegLocator | grep -qxF "MachineServer	2	$class_key\\InprocServer32		2" &&
        table "$MSI" RegLocator | grep -qxF "UserServer	1	$class_key\\InprocServer32		2" &&
        table "$MSI" RegLocator | grep -qxF "MachineServerFolder	2	$class_key\\InprocServer32		1" &&
        table "$MSI" RegLocator | grep -qxF "UserServerFolder	1	$class_key\\InprocServer32		1" &&
        table "$MSI" RegLocator | grep -qxF "MachineProgram	2	$class_key\\LocalServer32		2" &&
        table "$MSI" RegLocator | grep -qxF "UserProgram	1	$class_key\\LocalServer32		2" &&
        table "$MSI" RegLocator | grep -qxF "MachineStandIn	2	$class_key\\InprocServer32	PlovaneStandIn	2" &&
        table "$MSI" RegLocator | grep -qxF "UserStandIn	1	$class_key\\InprocServer32	PlovaneStandIn	2" &&
        ! table "$MSI" Signature | grep -q . &&
        table "$MSI" AppSearch | grep -qxF "MACHINESERVER	MachineServer" &&
        table "$MSI" AppSearch | grep -qxF "USERSERVER	UserServer" &&
        table "$MSI" AppSearch | grep -qxF "MACHINESERVERFOLDER	MachineServerFolder" &&
        table "$MSI" AppSearch | grep -qxF "USERSERVERFOLDER	UserServerFolder" &&
        table "$MSI" AppSearch | grep -qxF "MACHINEPROGRAM	MachineProgram" &&
        table "$MSI" AppSearch | grep -qxF "USERPROGRAM	UserProgram" &&
        table "$MSI" AppSearch | grep -qxF "MACHINESTANDIN	MachineStandIn" &&
        table "$MSI" AppSearch | grep -qxF "USERSTANDIN	UserStandIn" &&
        table "$MSI" CustomAction | grep -qF "OWNSERVER	[LocalAppDataFolder]Programs\\Plovane\\messenger-standin.dll"
}
shortcuts() {
    expect_eq "shortcuts" "$(table "$MSI" Shortcut | cut -f2,3,5 | sort | tr '\t' '|' | xargs -d '\n')" \
        "MenuFolder|Actions (Messenger stand-in)|[#ActionsExe] MenuFolder|Plovane - Add Programs to Actions list|[#ToolExe]"
}
# Windows leaves a folder an uninstall emptied unless the package says to remove it (Wine
# removes it either way, so this is checked as a file).
folders_removed() {
    expect_eq "folders removed on uninstall" "$(table "$MSI" RemoveFile | cut -f3- | sort | xargs -d '\n')" \
        "	INSTALLDIR	2 	MenuFolder	2"
}
# The close step before an uninstall or upgrade: the package's own program, given the installed
# folder, never taskkill by program name (that would close a portable copy too). After the files
# are removed, the same program, deferred, releases those still held (all four named).
close_step() {
    table "$MSI" CustomAction | grep -E 'CloseRunningPrograms|ReleaseHeldFiles'
    table "$MSI" CustomAction | grep -qxF 'CloseRunningPrograms	66	CloseStep	"[INSTALLDIR]."	' &&
        table "$MSI" InstallExecuteSequence |
        grep -qxF 'CloseRunningPrograms	REMOVE="ALL" OR WIX_UPGRADE_DETECTED	1399' &&
        table "$MSI" CustomAction | grep -qxF 'ReleaseHeldFiles	1090	CloseStep	/release "[INSTALLDIR]." plovane-actions.exe actions-menu.exe messenger-standin.dll README.txt	' &&
        table "$MSI" InstallExecuteSequence | grep -qxF 'ReleaseHeldFiles	REMOVE="ALL"	3501' &&
        expect_eq "actions around the release" "$(table "$MSI" InstallExecuteSequence |
            awk -F'\t' '$3 >= 3500 && $3 <= 3600 { print $3 "=" $1 }' | sort -n | xargs)" \
            "3500=RemoveFiles 3501=ReleaseHeldFiles" &&
        table "$MSI" Binary | grep -qx 'CloseStep	.*' &&
        ! msiinfo export "$MSI" CustomAction | grep -qi taskkill
}
# A signed packaging that fails (a wrong password, or a password file that is not there) leaves
# no download in its folder, not even those of an earlier run, that a release step missing the
# failure would publish.
failed_signing_leaves_no_downloads() {  # password file, what the packaging says
    local out=$work/dist-failed
    rm -rf "$out" && cp -r "$work/dist-$VERSION" "$out" && ls "$out" || return 1
    if PLOVANE_SIGN_PFX=$work/cert/cert.pfx PLOVANE_SIGN_PASSWORD_FILE=$1 \
        cmake -DPLOVANE_VERSION="$VERSION" -DBIN_DIR="$ROOT/build/i686/bin" -DOUT_DIR="$out" \
        -DWORK_DIR="$work/stage-failed" -DSOURCE_DIR="$ROOT" -P "$ROOT/cmake/package.cmake" \
        >"$logs/failed-signing.log" 2>&1; then
        echo "packaging with the password file $1 succeeded"
        return 1
    fi
    grep -m1 "$2" "$logs/failed-signing.log" || return 1
    echo "left in $out:"
    ls -A "$out"
    [ -z "$(ls -A "$out")" ]
}
major_upgrade() {
    table "$MSI" Upgrade | grep -q "^$UPGRADE_CODE		$MSI_VERSION		1		WIX_UPGRADE_DETECTED$" &&
        table "$MSI" InstallExecuteSequence | grep -qx "RemoveExistingProducts		1401"
}
zip_contents() {
    local folder=plovane-actions-$VERSION-win32
    expect_eq "zip" "$(cmake -E tar tf "$ZIP" | sort | xargs)" \
        "$folder/ $folder/README.txt $folder/actions-menu.exe $folder/messenger-standin.dll $folder/plovane-actions.exe" &&
        rm -rf "$work/unzipped" && mkdir -p "$work/unzipped" &&
        (cd "$work/unzipped" && cmake -E tar xf "$ZIP") &&
        grep -q "regsvr32 messenger-standin.dll" "$work/unzipped/$folder/README.txt" &&
        grep -q "regsvr32 /u messenger-standin.dll" "$work/unzipped/$folder/README.txt" &&
        grep -q "^Upgrading, or moving the folder" "$work/unzipped/$folder/README.txt" &&
        grep -q $'\r$' "$work/unzipped/$folder/README.txt"
}
# The version block of each packaged tool says its package's version, as file and as product.
says_version() {  # exe, version
    strings -el "$1" | awk -v v="$2" '
        $0 == "FileVersion" || $0 == "ProductVersion" { name = $0; next }
        name != "" { print name "=" $0; name = "" }' | sort | xargs -d '\n' |
        { read -r got; expect_eq "$1" "$got" "FileVersion=$2 ProductVersion=$2"; }
}
version_blocks() {
    says_version "$work/stage-$VERSION/plovane-actions-$VERSION-win32/plovane-actions.exe" \
        "$VERSION" &&
        says_version "$work/stage-$OLD_VERSION/plovane-actions-$OLD_VERSION-win32/plovane-actions.exe" \
            "$OLD_VERSION"
}

check_as_files() {
    check "the downloads are named by the version ($VERSION)" names_carry_the_version
    check "SHA256SUMS names both downloads and their sums match" checksums_match
    check "ProductVersion from the one version; a fixed UpgradeCode; a ProductCode per version" \
        versions_and_codes
    check "the MSI installs per user and asks for no elevation" per_user
    check "the MSI holds the tool, the Actions window, the stand-in and README.txt, for LocalAppData\\Programs\\Plovane" \
        files_and_folders
    check "registry rows: the stand-in's class under HKCU only, naming the installed DLL; no self-registration" \
        registry_rows
    check "the class is written only where no other live server or program holds it (searched per machine and per user; a registration whose folder is gone is stale)" \
        class_condition
    check "Start-menu shortcuts for the tool and the Actions window" shortcuts
    check "the uninstall removes the program folder and the Start-menu folder" folders_removed
    check "before an uninstall or upgrade the package's close step closes what runs from the installed folder (no taskkill by name)" \
        close_step
    check "a later version replaces an earlier one before installing" major_upgrade
    check "the zip holds the four files in one folder; its README.txt tells how to register, upgrade and remove" \
        zip_contents
    check "the packaged tools' version blocks say $VERSION and $OLD_VERSION" version_blocks
    printf 'not the password\n' >"$work/cert/wrong-password"
    check "a signed packaging that fails (a wrong password) leaves its folder without downloads" \
        failed_signing_leaves_no_downloads "$work/cert/wrong-password" "could not sign"
    check "so does one whose password file is not there" \
        failed_signing_leaves_no_downloads "$work/cert/no-such-file" "PLOVANE_SIGN_PFX needs"
}

# --- the packages under Wine ----------------------------------------------------------------

template=
prefix_tag=
enter_prefix() {  # scenario
    export WINEPREFIX=$work/prefix-$prefix_tag$1
    rm -rf "$WINEPREFIX"
    cp -a "$template" "$WINEPREFIX"
    "$WINESERVER_BIN" -p
    "$WINE" wineboot </dev/null >/dev/null 2>&1 || true
}
leave_prefix() {
    "$WINESERVER_BIN" -k >/dev/null 2>&1 || true
    [ "$failed" -eq 0 ] && rm -rf "$WINEPREFIX"
}
msiexec() {  # /i or /x, package
    local log=$logs/msiexec-$(basename "$WINEPREFIX")-${1#/}-$(basename "$(dirname "$2")").log
    timeout 300 "$WINE" msiexec "$1" "$(win "$2")" /qn /l*v "$(win "$log")" </dev/null \
        >/dev/null 2>&1 && return 0
    echo "msiexec $1 failed; the end of its log:"
    tr -d '\0\r' <"$log" | tail -30
    return 1
}
phase() {  # gtest filter, then the checks' environment (NAME=value ...)
    local out status=0
    out=$(env "${@:2}" timeout 300 "$WINE" "$ROOT/build/i686/bin/package-checks.exe" --gtest_filter="$1" \
        </dev/null 2>&1) || status=$?
    tr -d '\r' <<<"$out" | grep -v '^$'
    # A filter that matches nothing would pass; it must have run a test.
    [ "$status" -eq 0 ] && grep -q '^\[  PASSED  \] [1-9]' <<<"$out"
}
# A phase that leaves programs running: they inherit its output, so it goes to a file (a pipe
# would be held open until they end).
detached_phase() {  # gtest filter, then the checks' environment (NAME=value ...)
    local out=$logs/detached-phase.log status=0
    env "${@:2}" timeout 300 "$WINE" "$ROOT/build/i686/bin/package-checks.exe" --gtest_filter="$1" \
        </dev/null >"$out" 2>&1 || status=$?
    tr -d '\r' <"$out" | grep -v '^$'
    [ "$status" -eq 0 ] && grep -q '^\[  PASSED  \] [1-9]' "$out"
}
profile_tree() { (cd "$WINEPREFIX/drive_c/users" && find . | sort); }
# The user's programs folder (AppData\Local\Programs, shared by every per-user install) may stay,
# empty, where the install made it; nothing else may differ.
same_profile_as_before() {
    local programs=./$(id -un)/AppData/Local/Programs
    local after
    after=$(profile_tree)
    if ! grep -qxF "$programs" "$logs/profile-before"; then
        ! grep -qF "$programs/" <<<"$after" || { echo "left in $programs:"; grep -F "$programs/" <<<"$after"; return 1; }
        after=$(grep -vxF "$programs" <<<"$after")
    fi
    diff "$logs/profile-before" <(printf '%s\n' "$after")
}

install_use_remove() {
    enter_prefix install
    profile_tree >"$logs/profile-before"
    check "msiexec /i installs the MSI (exit 0)" msiexec /i "$MSI"
    check "installed: files, shortcuts and the user's class where the package says, one product" \
        phase 'Installed.*' PLOVANE_EXPECTED_VERSION="$MSI_VERSION"
    # Windows merges the user's classes into HKEY_CLASSES_ROOT; Wine 8's COM reads only the
    # machine's. The phase copies the rows the MSI wrote there first, as the merged view shows.
    # The Actions window starts a program in it: should a fault start one that stays, the phase
    # is detached, so the check fails instead of waiting on it.
    check "the installed tool starts and Register through it files an entry in the store; the installed Actions window starts an entry and Unregister removes it (the user's class rows copied to the prefix's machine classes first: Wine 8's COM reads no per-user classes)" \
        detached_phase 'InstalledTool.*'
    check "msiexec /x removes it (exit 0)" msiexec /x "$MSI"
    check "removed: files, folder, shortcuts and class gone, the user's entry kept" \
        phase 'Removed.*'
    check "the user's profile holds exactly the files and folders it held before" \
        same_profile_as_before
    leave_prefix
}

upgrade() {
    enter_prefix upgrade
    check "msiexec /i installs the earlier version $OLD_VERSION (exit 0)" msiexec /i "$OLD_MSI"
    check "the earlier version is the one product installed" phase 'Installed.OneProduct*' PLOVANE_EXPECTED_VERSION="$OLD_MSI_VERSION"
    check "msiexec /i of $VERSION over it (exit 0)" msiexec /i "$MSI"
    check "after the upgrade: one product, $VERSION, with its files, shortcuts and class" \
        phase 'Installed.*' PLOVANE_EXPECTED_VERSION="$MSI_VERSION"
    check "msiexec /x of $VERSION (exit 0)" msiexec /x "$MSI"
    check "after removing $VERSION nothing of either version is left" \
        phase 'Removed.TheFiles*'
    leave_prefix
}

other_server() {
    enter_prefix other-server
    local other
    other=$(win "$ROOT/build/i686/bin/messenger-standin.dll")
    # A server that works as Messenger's would: the stand-in from elsewhere, registered without
    # the mark its own regsvr32 leaves (which makes it a zip copy the package writes over).
    check "another server holds the class (regsvr32 of a stand-in elsewhere, without its mark)" \
        bash -c '"$0" regsvr32 /s "$1" && "$0" reg delete "HKLM\\$2\\InprocServer32" /v PlovaneStandIn /f "${@:3}"' \
        "$WINE" "$other" "$class_key" "${reg_view[@]}"
    check "msiexec /i installs the MSI beside it (exit 0)" msiexec /i "$MSI"
    check "the other server's registration is unchanged and the tool registers through it" \
        phase 'OtherServer.*' PLOVANE_OTHER_SERVER="$other"
    check "msiexec /x removes the MSI (exit 0)" msiexec /x "$MSI"
    check "the other server's registration is still unchanged" \
        phase 'OtherServer.ItsRegistration*' PLOVANE_OTHER_SERVER="$other"
    leave_prefix
}

# A per-user registration of another server (a Messenger installed for this user alone).
other_user_server() {
    enter_prefix other-user-server
    local other='C:\Users\Messenger\msnmsgr-session.dll'
    # A live server: its file is there (a registration whose folder is gone is stale).
    mkdir -p "$WINEPREFIX/drive_c/users/Messenger" &&
        touch "$WINEPREFIX/drive_c/users/Messenger/msnmsgr-session.dll"
    check "another server holds the class for this user" "$WINE" reg add \
        "HKCU\\$class_key\\InprocServer32" /ve /d "$other" /f "${reg_view[@]}"
    check "msiexec /i installs the MSI beside it (exit 0)" msiexec /i "$MSI"
    check "the user's registration of the other server is unchanged" \
        phase 'OtherUserServer.*' PLOVANE_OTHER_SERVER="$other"
    check "msiexec /x removes the MSI (exit 0)" msiexec /x "$MSI"
    check "the user's registration of the other server is still unchanged" \
        phase 'OtherUserServer.*' PLOVANE_OTHER_SERVER="$other"
    leave_prefix
}

# A portable copy from the zip, registered with regsvr32 as its README says, beside the MSI's
# install, its tool running with text the user typed (for an uninstall or upgrade of the MSI to
# leave alone). Windows puts the user's class in front, so the portable tool holds the installed
# stand-in (its phase starts it under that merged view).
portable_copy_running() {
    PORTABLE="C:\\portable\\plovane-actions-$VERSION-win32"
    check "a portable copy unpacks beside the install" unzip_to "$ZIP" portable
    check "regsvr32 of its stand-in" phase 'ZipRegister.*' PLOVANE_STANDIN="$PORTABLE\\messenger-standin.dll"
    check "the portable copy's tool starts under the merged view (so holding the installed stand-in) and the user types in it" \
        detached_phase 'PortableStarts.*' PLOVANE_ZIP_FOLDER="$PORTABLE"
}

# A copy of the tool in a folder whose name begins with the installed folder's ("Plovane Tools"
# beside "Plovane"): not the installed one, whatever a comparison of the paths' starts says.
SIBLING='Plovane Tools'
sibling_copy() {
    local folder="$WINEPREFIX/drive_c/users/$(id -un)/AppData/Local/Programs/$SIBLING"
    mkdir -p "$folder" && cp "$work/stage-$VERSION/plovane-actions-$VERSION-win32/"* "$folder/"
}

# What a restart does: every program ends (here the portable copy, the only one left), then
# Windows carries out what waits for it, as wineboot -r does.
restart() {
    check "the portable copy ends, as a restart ends it" phase 'PortableEnds.*' \
        PLOVANE_ZIP_FOLDER="$PORTABLE"
    check "wineboot -r carries out what waits for the restart" \
        bash -c '"$0" wineboot -r </dev/null' "$WINE"
}

# Uninstalling while the user still has the tool and the Actions window open (the tool a second
# time from the installed folder spelled in capitals, and the folder itself on disk in small
# letters), a portable copy of the tool running beside them and holding the installed stand-in,
# and another copy in a folder beside the installed one.
uninstall_while_running() {
    enter_prefix running
    local sibling="C:\\users\\$(id -un)\\AppData\\Local\\Programs\\$SIBLING"
    # The installed folder already there, named in other letters' case: Wine then reports the
    # installed programs' paths in that case, while the package names the folder its own way.
    check "the programs folder holds \"plovane\", the installed folder's name in small letters" \
        mkdir -p "$WINEPREFIX/drive_c/users/$(id -un)/AppData/Local/Programs/plovane"
    check "msiexec /i installs the MSI (exit 0)" msiexec /i "$MSI"
    portable_copy_running
    check "a copy of the tool in a folder beside the installed one, named $SIBLING" sibling_copy
    check "that copy starts and the user types in it" \
        detached_phase 'PortableStarts.*' PLOVANE_ZIP_FOLDER="$sibling"
    check "the installed tool (also from the folder spelled in capitals) and the Actions window start and stay open" \
        detached_phase 'Running.*'
    check "msiexec /x removes it while they run (exit 0)" msiexec /x "$MSI"
    check "no installed program is left running, the one started from the folder in capitals neither" \
        phase 'LeftRunning.*'
    check "the portable copy still runs and holds what the user typed" \
        phase 'PortableRuns.*' PLOVANE_ZIP_FOLDER="$PORTABLE"
    check "the copy in $SIBLING still runs and holds what the user typed" \
        phase 'PortableRuns.*' PLOVANE_ZIP_FOLDER="$sibling"
    check "removed: files, folder, shortcuts and class gone, though the programs were running and the portable tool holds the stand-in" \
        phase 'Removed.TheFiles*'
    check "the stand-in the portable tool holds waits outside the folder, to be deleted at the restart" \
        phase 'Released.*' PLOVANE_ZIP_FOLDER="$PORTABLE"
    check "the copy in $SIBLING ends, as a restart ends it" phase 'PortableEnds.*' \
        PLOVANE_ZIP_FOLDER="$sibling"
    restart
    check "after the restart nothing of the held stand-in is left, nor of the package" \
        phase 'Restarted.*:Removed.TheFiles*'
    leave_prefix
}

# Upgrading while the earlier version's tool and Actions window run, a portable copy beside them
# holding the earlier version's stand-in.
upgrade_while_running() {
    enter_prefix upgrade-running
    check "msiexec /i installs the earlier version $OLD_VERSION (exit 0)" msiexec /i "$OLD_MSI"
    portable_copy_running
    check "the $OLD_VERSION tool and Actions window start and stay open" detached_phase 'Running.*'
    check "msiexec /i of $VERSION over it while they run (exit 0, no restart asked)" msiexec /i "$MSI"
    check "the upgrade closed the $OLD_VERSION programs first" phase 'LeftRunning.*'
    check "the portable copy still runs and holds what the user typed" \
        phase 'PortableRuns.*' PLOVANE_ZIP_FOLDER="$PORTABLE"
    check "after the upgrade: one product, $VERSION, with its files and shortcuts" \
        phase 'Installed.OneProduct*:Installed.TheFiles*:Installed.TheStartMenu*' \
        PLOVANE_EXPECTED_VERSION="$MSI_VERSION"
    check "the $VERSION stand-in is in place at once, with nothing of $OLD_VERSION beside it" \
        phase 'Upgraded.*' PLOVANE_FILE_VERSION="$VERSION"
    check "the $OLD_VERSION stand-in the portable tool holds waits outside the folder, to be deleted at the restart" \
        phase 'Released.*' PLOVANE_ZIP_FOLDER="$PORTABLE"
    check "the $VERSION tool starts and files an entry" phase 'InstalledTool.*'
    restart
    check "after the restart nothing of $OLD_VERSION is left and $VERSION stays in place" \
        phase 'Restarted.*:Upgraded.*' PLOVANE_FILE_VERSION="$VERSION"
    leave_prefix
}

# The zip and the MSI side by side, each installed and removed as its own README says, in both
# orders: the copy that remains starts.
zip_then_msi() {
    enter_prefix zip-then-msi
    local zip="C:\\zip\\plovane-actions-$VERSION-win32"
    check "the zip unpacks" unzip_to "$ZIP" zip
    check "regsvr32 of its stand-in" phase 'ZipRegister.*' PLOVANE_STANDIN="$zip\\messenger-standin.dll"
    check "msiexec /i beside the registered zip copy (exit 0)" msiexec /i "$MSI"
    check "the package wrote the user's class over the zip copy's; the machine's still names the zip copy" \
        phase 'BesideZipCopy.*' PLOVANE_ZIP_FOLDER="$zip"
    check "the zip copy removed: regsvr32 /u removes its class" phase 'ZipUnregister.*' PLOVANE_ZIP_FOLDER="$zip"
    rm -rf "$WINEPREFIX/drive_c/zip"
    check "with the zip copy gone, the installed tool starts and files an entry (no repair)" \
        phase 'InstalledTool.*'
    check "msiexec /x removes it (exit 0)" msiexec /x "$MSI"
    check "removed: files, folder, shortcuts and the user's class gone" phase 'Removed.TheFiles*'
    leave_prefix
}
msi_then_zip() {
    enter_prefix msi-then-zip
    local zip="C:\\zip\\plovane-actions-$VERSION-win32"
    check "msiexec /i installs the MSI (exit 0)" msiexec /i "$MSI"
    check "the zip unpacks beside it" unzip_to "$ZIP" zip
    check "regsvr32 of the zip's stand-in writes the machine's class" \
        phase 'ZipRegister.*' PLOVANE_STANDIN="$zip\\messenger-standin.dll"
    check "the user's class still names the installed stand-in" \
        phase 'BesideZipCopy.*' PLOVANE_ZIP_FOLDER="$zip"
    check "the installed tool starts beside the zip copy" phase 'InstalledTool.*'
    check "msiexec /x removes the MSI (exit 0)" msiexec /x "$MSI"
    check "removed: files, folder, shortcuts and the user's class gone" phase 'Removed.TheFiles*'
    check "the zip copy's tool still starts and files an entry" phase 'ZipTool.*' PLOVANE_ZIP_FOLDER="$zip"
    check "regsvr32 /u of the zip copy removes its class" phase 'ZipUnregister.*' PLOVANE_ZIP_FOLDER="$zip"
    leave_prefix
}

signed_install_use_remove() {
    enter_prefix signed
    check "msiexec /i installs the signed MSI (exit 0)" msiexec /i "$SIGNED_MSI"
    check "installed from the signed MSI: files, shortcuts and class, one product" \
        phase 'Installed.*' PLOVANE_EXPECTED_VERSION="$MSI_VERSION"
    check "the tool installed from the signed MSI registers an entry" phase 'InstalledTool.*'
    check "msiexec /x removes the signed MSI's install (exit 0)" msiexec /x "$SIGNED_MSI"
    check "removed: files, folder, shortcuts and class gone" phase 'Removed.TheFiles*'
    leave_prefix
}

# Another build of the same version (here the signed one: other bytes, another package code) is
# the same product: it does not install a second one beside the first.
rebuilt_same_version() {
    enter_prefix rebuilt
    check "msiexec /i installs the MSI (exit 0)" msiexec /i "$MSI"
    # Windows answers 1638 (another version of this product is installed) to a rebuild with
    # another package code; either way no second product may appear.
    local status=0
    timeout 300 "$WINE" msiexec /i "$(win "$SIGNED_MSI")" /qn </dev/null >/dev/null 2>&1 ||
        status=$?
    echo "      (msiexec /i of the rebuild of the same version ended with $status)"
    check "after msiexec /i of a rebuild of $VERSION: still one product, $VERSION, with its files" \
        phase 'Installed.*' PLOVANE_EXPECTED_VERSION="$MSI_VERSION"
    check "msiexec /x of the rebuild removes that one product (exit 0)" msiexec /x "$SIGNED_MSI"
    check "removed: nothing of it is left" phase 'Removed.TheFiles*'
    leave_prefix
}

unpacked_zip() {
    enter_prefix zip
    check "the zip unpacks" bash -c "cd '$WINEPREFIX/drive_c' && cmake -E tar xf '$ZIP'"
    check "regsvr32 of its stand-in, the tool from it registers an entry, regsvr32 /u" \
        phase 'Zip.*' PLOVANE_ZIP_FOLDER="C:\\plovane-actions-$VERSION-win32" \
        PLOVANE_REGSVR32="$user_regsvr32"
    leave_prefix
}

# Registrations left by zip copies: deleted without regsvr32 /u, or an earlier version beside a
# later one. Each is ours to replace; the tool of the copy that remains must start.
unzip_to() {  # zip, folder under drive_c
    mkdir -p "$WINEPREFIX/drive_c/$2" && (cd "$WINEPREFIX/drive_c/$2" && cmake -E tar xf "$1")
}
zip_unpacked_again() {
    enter_prefix zip-again
    local first="C:\\first\\plovane-actions-$VERSION-win32"
    local second="C:\\second\\plovane-actions-$VERSION-win32"
    check "the zip unpacks" unzip_to "$ZIP" first
    check "regsvr32 of its stand-in" phase 'ZipRegister.*' PLOVANE_STANDIN="$first\\messenger-standin.dll"
    rm -rf "$WINEPREFIX/drive_c/first"
    check "the folder deleted without regsvr32 /u; the zip unpacked elsewhere" unzip_to "$ZIP" second
    check "regsvr32 of the new copy replaces the deleted copy's registration" \
        phase 'ZipRegister.*' PLOVANE_STANDIN="$second\\messenger-standin.dll"
    check "the tool of the new copy starts and files an entry" phase 'ZipTool.*' PLOVANE_ZIP_FOLDER="$second"
    check "regsvr32 /u of the new copy removes the class" phase 'ZipUnregister.*' PLOVANE_ZIP_FOLDER="$second"
    leave_prefix
}
zip_upgrade() {
    enter_prefix zip-upgrade
    local old="C:\\plovane-actions-$OLD_VERSION-win32" new="C:\\plovane-actions-$VERSION-win32"
    check "the $OLD_VERSION zip unpacks" unzip_to "$OLD_ZIP" .
    check "regsvr32 of the $OLD_VERSION stand-in" phase 'ZipRegister.*' PLOVANE_STANDIN="$old\\messenger-standin.dll"
    check "the $VERSION zip unpacks beside it" unzip_to "$ZIP" .
    check "regsvr32 of the $VERSION stand-in takes over from the $OLD_VERSION copy" \
        phase 'ZipRegister.*' PLOVANE_STANDIN="$new\\messenger-standin.dll"
    rm -rf "$WINEPREFIX/drive_c/plovane-actions-$OLD_VERSION-win32"
    check "with the $OLD_VERSION folder deleted, the $VERSION tool starts and files an entry" \
        phase 'ZipTool.*' PLOVANE_ZIP_FOLDER="$new"
    leave_prefix
}
msi_after_deleted_copy() {
    enter_prefix msi-after-deleted-copy
    local gone="C:\\gone\\plovane-actions-$VERSION-win32"
    check "a zip copy unpacks" unzip_to "$ZIP" gone
    check "regsvr32 of its stand-in" phase 'ZipRegister.*' PLOVANE_STANDIN="$gone\\messenger-standin.dll"
    rm -rf "$WINEPREFIX/drive_c/gone"
    check "msiexec /i after the copy was deleted (exit 0)" msiexec /i "$MSI"
    check "the package wrote the user's class for its own stand-in" phase 'AfterDeletedCopy.*'
    check "the installed tool starts and files an entry (the user's class rows copied to the machine's classes, as Windows merges them)" \
        phase 'InstalledTool.*'
    check "msiexec /x removes it (exit 0)" msiexec /x "$MSI"
    check "removed: files, folder, shortcuts and the user's class gone" phase 'Removed.TheFiles*'
    leave_prefix
}

# --- the run --------------------------------------------------------------------------------

select_arch
# Installing creates Start-menu links; Wine would mirror them into this machine's own menus.
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winemenubuilder.exe=d"
rm -rf "$work"/prefix-* "$logs"
mkdir -p "$logs"
VERSION=$(shipped_version)
started=$SECONDS
if ! build_packages >"$logs/build.log" 2>&1; then
    tail -30 "$logs/build.log"
    echo "package tests: 0 passed, 1 failed (the packages did not build)"
    exit 1
fi
MSI=$work/dist-$VERSION/plovane-actions-$VERSION.msi
ZIP=$work/dist-$VERSION/plovane-actions-$VERSION-win32.zip
OLD_MSI=$work/dist-$OLD_VERSION/plovane-actions-$OLD_VERSION.msi
OLD_ZIP=$work/dist-$OLD_VERSION/plovane-actions-$OLD_VERSION-win32.zip
SIGNED_MSI=$work/dist-signed/plovane-actions-$VERSION.msi
MSI_VERSION=$(property "$MSI" ProductVersion)
OLD_MSI_VERSION=$(property "$OLD_MSI" ProductVersion)
UPGRADE_CODE=$(property "$MSI" UpgradeCode)
export PLOVANE_UPGRADE_CODE=$UPGRADE_CODE
echo "package tests: built $VERSION and $OLD_VERSION in $((SECONDS - started)) s"

check_as_files

ALL_SCENARIOS="install_use_remove upgrade other_server other_user_server unpacked_zip \
zip_unpacked_again zip_upgrade msi_after_deleted_copy zip_then_msi msi_then_zip \
uninstall_while_running upgrade_while_running signed_install_use_remove rebuilt_same_version"
# 64-bit Windows runs the 32-bit downloads under WoW64, and so does a 64-bit Wine prefix: the
# MSI's rows and regsvr32's land in the 32-bit view, and the regsvr32 a user types is the 64-bit
# one (a 32-bit program reaches it through sysnative). Where the 32-bit prefix ran them all, the
# scenarios that cover that run there once more.
WOW64_SCENARIOS="install_use_remove unpacked_zip uninstall_while_running"

# The scenarios under the Wine select_arch chose, each in a copy of that Wine's template prefix
# for the given Windows (i686: a 32-bit prefix, x86_64: a 64-bit one).
ran_under=()
run_scenarios() {  # i686 or x86_64, scenarios
    local windows=$1 scenarios=$2 before=$((passed + failed))
    PLOVANE_ARCH=$windows select_arch
    user_regsvr32= reg_view=()
    local prefix_says="32-bit prefix"
    if [ "$windows" = x86_64 ]; then
        user_regsvr32='C:\windows\sysnative\regsvr32.exe' reg_view=(/reg:32)
        prefix_says="64-bit prefix (WoW64)"
    fi
    check_tag="[$WINE_SAYS, $prefix_says] "
    echo "package tests: under $WINE_SAYS, in a $prefix_says"
    check "the $prefix_says template prefix is made" env PLOVANE_ARCH="$windows" \
        "$ROOT/scripts/setup" package
    use_prefix package
    template=$WINEPREFIX prefix_tag=wine$WINE_VERSION-$windows-
    # PLOVANE_PACKAGE_SCENARIOS runs a few of them while working on one.
    for scenario in ${PLOVANE_PACKAGE_SCENARIOS:-$scenarios}; do
        "$scenario"
    done
    check_tag=
    ran_under+=("$WINE_SAYS: $((passed + failed - before)) checks")
}

# Each Wine runs the downloads where it can run 32-bit code: Wine 8 only where the machine runs
# it (under qemu-i386 it does not start), Wine 10 everywhere, emulated where the machine does not
# run it; only a 64-bit prefix is worth its time there. Never silently: a Wine that should have
# run and ran nothing fails the run. PLOVANE_PACKAGE_WINES="8" or "10" runs only those.
for wine in ${PLOVANE_PACKAGE_WINES:-8 10}; do
    export PLOVANE_WINE=$wine
    PLOVANE_ARCH= select_arch
    if [ "$WINE_VERSION" = 8 ] && [ "$ARCH" != i686 ]; then
        echo "package tests: Wine 8 cannot run 32-bit code on this machine; Wine 10 runs the" \
            "downloads here"
        continue
    fi
    if [ "$WINE_WAY" = emulated ]; then
        run_scenarios x86_64 "$ALL_SCENARIOS"
    else
        run_scenarios i686 "$ALL_SCENARIOS"
        run_scenarios x86_64 "$WOW64_SCENARIOS"
    fi
    if [ "${#ran_under[@]}" -eq 0 ] || [[ ${ran_under[-1]} != "$WINE_SAYS: "* ]]; then
        failed=$((failed + 1))
        echo "FAIL  Wine $wine ran none of the downloads' scenarios"
    fi
done
unset PLOVANE_WINE
: >"$logs/ran-under"
for ran in "${ran_under[@]}"; do
    echo "package tests: ran under $ran"
    echo "$ran" >>"$logs/ran-under"
done
echo "package tests: $passed passed, $failed failed ($((SECONDS - started)) s)"
[ "$failed" -eq 0 ]
