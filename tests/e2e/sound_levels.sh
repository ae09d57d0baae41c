# Sourced by the sound tests: levels of raw 16-bit stereo 44.1 kHz recordings.
#   rms FILE [FROM SECONDS] [FILTER...]   RMS of both channels together (0 to 1)
#   first_sound FILE LEVEL                seconds until a 50 ms stretch is louder than LEVEL
rms() {
  local file=$1 from=${2:-0} length=${3:-}
  shift 3 2>/dev/null || shift $#
  sox -t raw -r 44100 -e signed -b 16 -c 2 "$file" -n trim "$from" ${length:+"$length"} remix 1,2 "$@" stat 2>&1 |
    awk '/RMS +amplitude/ { print $3 }'
}

first_sound() {
  python3 - "$1" "$2" <<'PY'
import math, struct, sys
data = open(sys.argv[1], 'rb').read()
level, block = float(sys.argv[2]), 2205 * 2
samples = struct.unpack('<%dh' % (len(data) // 2), data[:len(data) // 2 * 2])
for start in range(0, len(samples) - block + 1, block):
    chunk = samples[start:start + block]
    if math.sqrt(sum(s * s for s in chunk) / len(chunk)) / 32768 > level:
        print('%.2f' % (start / 2 / 44100)); break
else:
    print('never')
PY
}

# Whether a is within `db` decibels of b.
within_db() { awk -v a="$1" -v b="$2" -v db="$3" 'BEGIN { exit !(a > 0 && b > 0 && (20 * log(a / b) / log(10))^2 <= db * db) }'; }
