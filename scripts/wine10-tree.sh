# Where Debian 13's Wine 10, the second Wine the suite runs, lives and how it runs 32-bit code;
# sourced by lib.sh and scripts/wine10. The tree is made by scripts/setup outside the clone, so
# that every clone on this machine shares it; PLOVANE_WINE10_TREE moves it.
WINE10_TREE=${PLOVANE_WINE10_TREE:-/var/lib/plovane/wine10-trixie}
# binfmt_misc's pattern of an i386 ELF program (executable or shared object).
I386_ELF_MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
I386_ELF_MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

# How Wine 10 runs 32-bit code here: natively where the machine runs it, emulated by the tree's
# qemu-i386 where it does not. PLOVANE_WINE10_WAY=native or emulated overrides the choice.
wine10_way() {
    if [ -n "${PLOVANE_WINE10_WAY:-}" ]; then
        echo "$PLOVANE_WINE10_WAY"
    elif "$WINE10_TREE/usr/lib/i386-linux-gnu/ld-linux.so.2" --version >/dev/null 2>&1; then
        echo native
    else
        echo emulated
    fi
}
