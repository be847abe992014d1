# Reads a hot pixel map (XML, one <pix> element a line, as the program
# writes it) and prints the same spots as jpegpixi block descriptions:
# the square of half-width r around each hot pixel, clipped to the image,
# with overlapping squares merged (jpegpixi ignores a block that overlaps
# another). With -v single=1 only the hot pixel itself.
#   awk -f spots.awk [-v single=1] hotpixels.xml > blocks.txt
/<width>/ { w = $0; gsub(/[^0-9]/, "", w) }
/<height>/ { h = $0; gsub(/[^0-9]/, "", h) }
/<pix / {
  split($0, f, "\"")
  x = f[2] + 0; y = f[4] + 0; r = single ? 0 : f[6] + 0
  n++
  x0[n] = x - r; y0[n] = y - r; x1[n] = x + r; y1[n] = y + r
  if (x0[n] < 0) x0[n] = 0; if (y0[n] < 0) y0[n] = 0
  if (x1[n] > w - 1) x1[n] = w - 1; if (y1[n] > h - 1) y1[n] = h - 1
  alive[n] = 1
}
END {
  changed = 1
  while (changed) {
    changed = 0
    for (i = 1; i <= n; i++) {
      if (!alive[i]) continue
      for (j = i + 1; j <= n; j++) {
        if (!alive[j] || x0[i] > x1[j] || x0[j] > x1[i] || y0[i] > y1[j] || y0[j] > y1[i]) continue
        if (x0[j] < x0[i]) x0[i] = x0[j]; if (y0[j] < y0[i]) y0[i] = y0[j]
        if (x1[j] > x1[i]) x1[i] = x1[j]; if (y1[j] > y1[i]) y1[i] = y1[j]
        alive[j] = 0; changed = 1
      }
    }
  }
  for (i = 1; i <= n; i++) if (alive[i]) printf "%d,%d,%d,%d\n", x0[i], y0[i], x1[i] - x0[i] + 1, y1[i] - y0[i] + 1
}
