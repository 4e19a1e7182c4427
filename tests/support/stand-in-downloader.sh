#!/bin/bash
# A stand-in for the link downloader. It records its arguments and its
# search path, one per line, into $QM_STANDIN_LOG, and behaves as
# $QM_STANDIN_MODE says:
#   ok      copies $QM_STANDIN_SOURCE to "<folder>/Tune [id1].wav" and prints
#           that path among other lines
#   nopath  exits 0, printing no path (and an ERROR line on standard error)
#   error   prints "ERROR: no such video" on standard error, exits 1
#   half    writes half a file into the folder, then fails
#   hang    starts a child that sleeps, records both process ids, waits
#   passwd  prints /etc/passwd as its result
# The folder is taken from the -o argument's template.
log=${QM_STANDIN_LOG:-/dev/null}
{
  echo "PATH=$PATH"
  for a in "$@"; do echo "ARG=$a"; done
} > "$log"
out=""
prev=""
for a in "$@"; do
  if [ "$prev" = "-o" ]; then out=$a; fi
  prev=$a
done
folder=$(dirname "$out")
case "$QM_STANDIN_MODE" in
  ok)
    cp "$QM_STANDIN_SOURCE" "$folder/Tune [id1].wav"
    echo "[info] id1: Downloading"
    echo "/not/the/last/one.wav"
    echo "$folder/Tune [id1].wav"
    echo "Deleting original file"
    exit 0 ;;
  nopath)
    echo "[info] nothing"
    echo "WARNING: something" >&2
    echo "ERROR: [generic] Unsupported URL" >&2
    echo "still going" >&2
    exit 0 ;;
  error)
    echo "[generic] looking" >&2
    echo "ERROR: no such video" >&2
    exit 1 ;;
  half)
    head -c 5000 /dev/zero > "$folder/Tune [id1].webm.part"
    echo "ERROR: interrupted" >&2
    exit 1 ;;
  hang)
    sleep 1000 &
    echo "PIDS=$$ $!" >> "$log"
    wait ;;
  passwd)
    echo "/etc/passwd"
    exit 0 ;;
esac
exit 3
