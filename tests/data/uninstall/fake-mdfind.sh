# Answers two queries with paths in the sandbox (the folder above this
# script's): the applications (a non-bundle and an empty line among them),
# and the virtual machines.
r=$(dirname "$(dirname "$0")")
case "$1" in
  kMDItemContentType=com.apple.application-bundle)
    printf '%s\n' "$r/Users/tester/Applications (Parallels)/{6f1c} Applications.localized/Word.app" \
      "$r/Users/tester/Documents/Parallels/Paint.app" "$r/System/Applications/Calculator.app" \
      "$r/Volumes/Macintosh HD/Applications/VolApp.app" "$r/Users/tester/Downloads/Fusion.app" \
      "$r/Applications/Linked.app" "$r/Users/tester/notes.txt" "" ;;
  'kMDItemFSName == *vmwarevm*')
    echo "$r/Users/tester/Documents/Virtual Machines.localized/Win.vmwarevm" ;;
esac
