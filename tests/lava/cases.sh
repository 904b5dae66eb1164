#!/bin/sh
# Runs the process suite's cases on this machine with the case script in
# cases/, and reports each to LAVA: lava-test-case NAME --result pass, fail
# (what differed is printed first) or skip.
#
# usage: sh cases.sh TOOL [EMPTY_ARGV_HELPER]
#
# TOOL is the executable's path, or its name on PATH. Without the helper,
# the case of the empty argument vector is skipped. Needs only a POSIX
# shell with cat and echo: busybox's, dash, or Android's mksh from 5.0.
nl='
'

# The path of program $1, absolute, or nothing if it is not an executable
# file.
executable() {
  case $1 in
    */*) found=$1 ;;
    *) found=$(command -v "$1") || found= ;;
  esac
  case $found in
    '') return 1 ;;
    /*) ;;
    *) found=$PWD/$found ;;
  esac
  [ -f "$found" ] && [ -x "$found" ]
}

# Sets $got to file $1's bytes; the x saves trailing newlines.
slurp() {
  got=$(cat "$1" 2>/dev/null; echo x)
  got=${got%x}
}

# Shows the first bytes of file $2 and of the expected, file $3, under
# heading $1, if od is there to show them safely.
show() {
  command -v od >/dev/null || return 0
  echo "  $1, first bytes:"
  dd if="$2" bs=96 count=1 2>/dev/null | od -c
  echo "  expected:"
  dd if="$3" bs=96 count=1 2>/dev/null | od -c
}

# Judges file $2, what the case wrote to stream $1, against $3: a want
# file, - for nothing, or complaint. Adds what differs to $why and the
# streams to show to $shown.
judge() {
  slurp "$2"
  case $3 in
    complaint)
      rest=${got%"$usage"}
      if [ "$rest" = "$got" ]; then
        why="$why; $1 does not end with the usage text"
      else
        case $rest in
          *"$usage"*) why="$why; $1 holds the usage text twice" ;;
          *"$nl") ;;
          *) why="$why; $1 has no complaint line before the usage text" ;;
        esac
      fi
      return ;;
    -) want= file=/dev/null ;;
    *) mine=$got; slurp "$3"; want=$got got=$mine file=$3 ;;
  esac
  if [ "$got" != "$want" ]; then
    why="$why; $1 differs"
    shown="$shown $1 $2 $file"
  fi
}

smaps=$(grep KernelPageSize /proc/self/smaps 2>/dev/null)
echo "board: Linux $(cat /proc/sys/kernel/osrelease), ${smaps%%"$nl"*}"
if ! executable "$1"; then
  echo "TOOL=$1 is not an executable file on this machine: no case ran"
  lava-test-case tool-is-executable --result fail
  exit 0
fi
tool=$found
helper=${2-}
if [ -n "$helper" ]; then
  if executable "$helper"; then
    helper=$found
  else
    echo "EMPTY_ARGV_HELPER=$helper is not an executable file on this machine"
  fi
fi

case $0 in */*) cd "${0%/*}" || exit 1 ;; esac
cd cases || exit 1
rm -rf r && mkdir r || exit 1
sh run.sh "$tool" "$helper" </dev/null >r/log 2>&1
slurp usage
usage=$got

while read -r index name status out err needs; do
  if [ "$needs" = helper ] && [ -z "$helper" ]; then
    echo "$name: no EMPTY_ARGV_HELPER given"
    lava-test-case "$name" --result skip
    continue
  fi
  why= shown=
  if [ -f "r/$index.status" ]; then
    slurp "r/$index.status"
    [ "$got" = "$status$nl" ] || why="; status ${got%"$nl"}, expected $status"
    judge stdout "r/$index.out" "$out"
    judge stderr "r/$index.err" "$err"
  else
    why="; no result"
  fi
  if [ -n "$why" ]; then
    echo "$name:${why#;}"
    set -- $shown
    while [ $# -ge 3 ]; do
      show "$1" "$2" "$3"
      shift 3
    done
    lava-test-case "$name" --result fail
  else
    lava-test-case "$name" --result pass
  fi
done <expected
