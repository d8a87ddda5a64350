# Answers as the index does: the regular files strictly larger than the size
# in the query ("$3" is "kMDItemFSSize > N") under the folder given ("$2",
# the home), sorted. Then lines of its own: an empty one, big files outside
# the home (on a volume, in another user's home), the home itself, a folder,
# a file that is gone and a small file.
limit=${3#kMDItemFSSize > }
find "$2" -type f -size +"${limit}"c | sort
root=${2%/Users/*}
printf '%s\n' '' "$root/Volumes/Disk/big.mov" "$root/Users/tester2/big.mov" "$2" "$2/Folder.mov" \
  "$2/gone.mov" "$2/Documents/small.txt"
