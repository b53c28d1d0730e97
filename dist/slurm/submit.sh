#!/bin/sh
# submit.sh [SBATCH OPTION...]
# Submits the job array of tavfit-array.sbatch (or of the copy that
# TAVFIT_SCRIPT names), TAVFIT_SHARDS tasks, then the job that merges their
# results into TAVFIT_MERGED once every task has succeeded. The options go to
# both sbatch calls (--account, --partition, --wait to return when done).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
script=${TAVFIT_SCRIPT:-$here/tavfit-array.sbatch}
# The settings, as the tasks will see them.
eval "$(sed -n '/^# Settings$/,/^# End of settings$/p' "$script")"

array=$(sbatch --parsable --array="1-$TAVFIT_SHARDS" "$@" "$script")
array=${array%%;*}  # "JOBID;CLUSTER" on a federation
echo "job array $array: $TAVFIT_SHARDS tasks"
# afterok: the merge runs only when every task succeeded, and a task fails
# only when its shard is incomplete (a curve that cannot be fitted is a row
# marked failed, not a failed task). Were one incomplete, a merge could only
# refuse; --kill-on-invalid-dep cancels it instead of leaving it pending.
merge=$(sbatch --parsable --job-name=tavfit-merge --output=tavfit-merge-%j.out \
  --dependency="afterok:$array" --kill-on-invalid-dep=yes "$@" \
  "$here/tavfit-merge.sh" "$TAVFIT_RESULTS" "$TAVFIT_SHARDS" "$TAVFIT_MERGED")
echo "merge job ${merge%%;*}: $TAVFIT_MERGED"
