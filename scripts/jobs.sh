# Sourced by the other scripts: $jobs, the number of build jobs. Every
# processor: nproc alone answers 1 when OMP_NUM_THREADS=1 is set, as it often
# is where OpenCV runs. JOBS=N overrides.
jobs="${JOBS:-$(env -u OMP_NUM_THREADS -u OMP_THREAD_LIMIT nproc)}"
