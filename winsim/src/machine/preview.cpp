// Previews: a plan marks what is staged, runs the removal and rolls back to
// the mark, keeping only the list of what it would delete.
#include <utility>

#include "winsim/safety.h"
#include "winsim/src/machine/changes.h"
#include "winsim/src/machine/state.h"

namespace winsim {

namespace {

struct Trial {
    bool active = false;
    CommandChanges::Mark mark;
};
Trial g_trial;

}  // namespace

void beginTrial() {
    Machine* m = currentMachine();
    if (!m) return;
    g_trial.active = true;
    g_trial.mark = m->changes.mark();
}

Deletions endTrial() {
    Machine* m = currentMachine();
    if (!m || !g_trial.active) return {};
    g_trial.active = false;
    Deletions d = m->changes.since(g_trial.mark);
    m->changes.rollBack(std::move(g_trial.mark));
    g_trial.mark = CommandChanges::Mark();
    return d;
}

Deletions stagedDeletions() {
    Machine* m = currentMachine();
    return m ? m->changes.since(m->changes.lastCommit()) : Deletions();
}

}  // namespace winsim
