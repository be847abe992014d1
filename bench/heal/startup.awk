# Reads `perf script -F ip,sym,dso` output of runs recorded with call graphs
# (one sample a paragraph, innermost frame first) and prints where the CPU
# time of a program's start goes: the kernel's exec, the dynamic loader
# mapping and relocating the shared libraries, each library's static
# initialisers, the program's own code, and the exit.
# -v ms=<CPU ms of one run> turns the shares into milliseconds.
BEGIN { RS = ""; FS = "\n" }

function library(frame,    d) {
  if (!match(frame, /\([^()]*\)$/)) return "?"
  d = substr(frame, RSTART + 1, RLENGTH - 2)
  sub(/.*\//, "", d)
  sub(/\.so.*/, "", d)
  return d
}

{
  samples++
  part = "other"
  if ($0 ~ /call_init/) {
    # The frame called by the loader's call_init is the initialiser.
    part = "static initialisers: ?"
    for (i = NF; i >= 2; i--) {
      if ($i ~ /call_init/) {
        for (j = i - 1; j >= 2; j--)
          if ($j !~ /ld-linux/) { part = "static initialisers: " library($j); break }
        break
      }
    }
  } else if ($0 ~ /_dl_relocate_object/) part = "loader: relocation"
  else if ($0 ~ /_dl_map_object/) part = "loader: mapping the libraries"
  else if ($0 ~ /dl_main|_dl_start/) part = "loader: the rest"
  else if ($0 ~ /load_elf_binary|bprm_execve|execve/) part = "kernel: exec"
  else if ($0 ~ /exit_mmap|do_exit|do_group_exit|_dl_fini|__run_exit_handlers/) part = "exit"
  else if ($0 ~ /speckmend::|[ \t]main[ (]/) part = "the program's own code (main)"
  count[part]++
}

END {
  for (p in count)
    printf "    %5.1f%%  %5.2f ms  %s\n", 100 * count[p] / samples, ms * count[p] / samples, p | "sort -k2 -rn"
}
