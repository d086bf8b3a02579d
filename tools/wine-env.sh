# Sourced by the Windows scripts: the Wine settings every Wine call of this project runs with,
# in the project's own prefix (build/wineprefix) and nowhere else. $1 names the calling script
# for the error message.
export WINEARCH=win64
export WINEPREFIX="$PWD/build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export LANG=C.UTF-8
unset DISPLAY
# Wine without a prefix would quietly create one in the home folder and start a second server.
case "$WINEPREFIX" in
    /*/build/wineprefix) ;;
    *) echo "$1: unexpected Wine prefix '$WINEPREFIX'" >&2; exit 1 ;;
esac
