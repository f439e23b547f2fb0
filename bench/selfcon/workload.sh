# Sourced by run-bench.sh and profile.sh: writes the benchmark's working
# directory (a 50-protein set 1 and an INPUT of 20 synthetic samples, all
# from cdsec_mkrefs) into the current directory.  $mk is the generator.
"$mk" --set 1 --count 50 --seed 1 --out . >/dev/null
"$mk" --samples 20 --seed 2 --set 1 > INPUT
