echo 'kMDItemFSSize = 12'
case "$1" in *Used.app) echo 'kMDItemLastUsedDate = 2024-01-02 03:04:05 +0000' ;; esac
