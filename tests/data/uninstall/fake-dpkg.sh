shift; for p; do case "$p" in */editor.desktop) echo "editor-pkg: $p" ;;
*/notes.desktop) echo "notes:amd64, notes-extra: $p" ;;
*) echo "dpkg-query: no path found matching pattern $p" >&2 ;; esac; done; exit 1
