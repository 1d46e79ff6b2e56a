# Instructions per call from a callgrind output file: the file's total
# (collected only inside the functions named by --toggle-collect) divided
# by the number of calls to functions whose names contain `want`.
#
#   awk -v want='CWaveConvert::Convert(' -f bench/callgrind-per-call.awk callgrind.out
/^c?fn=\(/ {
  id = $0; sub(/^c?fn=\(/, "", id); sub(/\).*/, "", id)
  fn = $0; sub(/^[^)]*\) ?/, "", fn)
  if (fn != "") names[id] = fn
  if ($0 ~ /^cfn=/) callee = names[id]
  next
}
/^calls=/ { if (index(callee, want) > 0) { split($0, a, /[= ]/); calls += a[2] } }
/^(summary|totals):/ { total = $2 }
END { printf "%.0f\n", (calls > 0 ? total / calls : 0) }
