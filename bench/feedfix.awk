# The plot correction as an operator might write it in awk, for comparison
# with feedfix in the benchmark:
#
#   awk -f feedfix.awk PLOTFILE
#
# Reads the threshold and the carried shift from feedfix.ini in the current
# directory (15574 and 0 when the file is missing), writes the rewritten
# plot to ~ffx.log, replaces the plot file by it durably (copy, sync,
# rename), removes ~ffx.log and writes the settings back.
#
# The rewrite:
# - a line holding "PU", "PD" or "PA", with a shift of 1 or more: the first
#   number (from the first digit or minus sign up to the first comma) gets
#   the shift added; a sum of 16251 is written as 16250;
# - else a line holding "PG": the value from column 7 to the first comma at
#   or after column 7 is, when below the threshold, snapped with its shift
#   to the 24-entry page grid; the remainder becomes the new shift;
# - a rewritten line loses all its blanks; every other line only its
#   trailing blanks. Lines are written with CR LF.
# Lines longer than 80 columns are not cut; error handling is minimal.

function settings_field(line) {
  line = substr(line, 1, 10)
  gsub(/[ \t]/, "", line)
  return line + 0
}

function shell_quote(s) {
  gsub(/'/, "'\\''", s)
  return "'" s "'"
}

BEGIN {
  ORS = "\r\n"
  tmp = "~ffx.log"
  threshold = 15574
  shift = 0
  if ((getline line < "feedfix.ini") > 0) {
    threshold = settings_field(line)
    if ((getline line < "feedfix.ini") > 0) shift = settings_field(line)
    close("feedfix.ini")
  }
  split("0 679 1356 2033 2710 3387 4064 4741 5418 6095 6772 7449 " \
        "8126 8804 9481 10158 10835 11512 12189 12866 13543 14220 14897 15574", grid, " ")
  changed = 0
}

{
  rec = $0
  cr = index(rec, "\r")
  if (cr > 0) rec = substr(rec, 1, cr - 1)
  sub(/ +$/, "", rec)

  if (shift >= 1 && (index(rec, "PU") || index(rec, "PD") || index(rec, "PA"))) {
    i = match(rec, /[0-9-]/)
    k = index(rec, ",")
    if (i > 0 && k > i) {
      field = substr(rec, i, k - i)
      gsub(/[ \t]/, "", field)
      v = shift + field
      if (v == 16251) v = 16250
      rec = substr(rec, 1, i - 1) v substr(rec, k)
      gsub(/ /, "", rec)
      changed = 1
    }
  } else if (index(rec, "PG")) {
    k = index(substr(rec, 7), ",")
    if (k > 1) {
      k += 6
      field = substr(rec, 7, k - 7)
      gsub(/[ \t]/, "", field)
      printf "." > "/dev/stderr"
      if (field + 0 < threshold) {
        x = field + shift
        j = int(24 * (x - 1) / 16250)
        if (j < 0 || j > 23) {
          print "Error: page value out of range: " rec > "/dev/stderr"
          failed = 1
          exit 1
        }
        m = x - grid[j + 1]
        if (m < 0 || m > 678) printf "\nError: x,j,m=%6d%6d%6d\n", x, m, j > "/dev/stderr"
        if (m != shift) {
          rec = substr(rec, 1, 6) grid[j + 1] substr(rec, k)
          gsub(/ /, "", rec)
          shift = m
          changed = 1
        }
      }
    }
  }
  print rec > tmp
}

END {
  if (failed) exit 1
  close(tmp)
  plot = FILENAME
  if (changed) {
    if (system("cp " shell_quote(tmp) " " shell_quote(plot ".new") \
               " && sync " shell_quote(plot ".new") \
               " && mv " shell_quote(plot ".new") " " shell_quote(plot) \
               " && rm " shell_quote(tmp)) != 0) {
      print "Error on cleaning up plot files." > "/dev/stderr"
      exit 1
    }
  } else {
    system("rm -f " shell_quote(tmp))
  }
  printf "%10d\r\n%10d\r\n", threshold, shift > "feedfix.ini"
  close("feedfix.ini")
  print " OK" > "/dev/stderr"
}
