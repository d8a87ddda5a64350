# Removes a user installation from the sandbox whose /fake folder holds it.
[ "$1 $2 $3" = 'uninstall --user --noninteractive' ] &&
  rm -rf "$(dirname "$(dirname "$0")")/home/tester/.local/share/flatpak/app/$4"
