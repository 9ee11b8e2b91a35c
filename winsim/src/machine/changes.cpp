#include "winsim/src/machine/changes.h"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "winsim/src/base/codepage.h"

namespace winsim {

CommandChanges::Mark CommandChanges::mark() const {
    return Mark{registry_.savepoint(), registryChanged_, files, removedInstances.size()};
}

CommandChanges::Mark CommandChanges::lastCommit() const { return Mark{committed_, false, {}, 0}; }

void CommandChanges::rollBack(Mark mark) {
    registry_.rollback(mark.registry);
    registryChanged_ = mark.registryChanged;
    files = std::move(mark.files);
    removedInstances.resize(mark.instances);
}

void CommandChanges::settle() {
    committed_ = registry_.savepoint();
    registryChanged_ = false;
    files.clear();
    removedInstances.clear();
}

std::vector<DeletedKey> CommandChanges::deletedKeys(const Mark& mark) const {
    std::vector<std::string> created;
    std::vector<DeletedKey> keys;
    for (const RegChange& c : registry_.changesSince(mark.registry)) {
        const std::string fold = foldName(c.path);
        if (c.kind == RegChangeKind::KeyCreated) {
            created.push_back(fold);
        } else if (c.kind == RegChangeKind::KeyDeleted &&
                   std::find(created.begin(), created.end(), fold) == created.end()) {
            keys.push_back({c.path, c.subtree});
        }
    }
    std::stable_sort(keys.begin(), keys.end(), [](const DeletedKey& a, const DeletedKey& b) {
        return foldName(a.path) < foldName(b.path);
    });
    return keys;
}

bool keyBelow(const std::string& fold, const std::string& parentFold) {
    return fold.size() > parentFold.size() && fold.compare(0, parentFold.size(), parentFold) == 0 &&
           fold[parentFold.size()] == '\\';
}

std::vector<std::string> topKeys(const std::vector<DeletedKey>& keys) {
    std::vector<std::string> tops, folds;
    for (const DeletedKey& k : keys) {
        const std::string fold = foldName(k.path);
        bool inner = false;
        for (const std::string& f : folds) inner = inner || keyBelow(fold, f) || fold == f;
        if (inner) continue;
        folds.push_back(fold);
        tops.push_back(k.path);
    }
    return tops;
}

std::string windowsPath(const std::string& relative) {
    std::string path = "C:\\" + relative;
    std::replace(path.begin() + 3, path.end(), '/', '\\');
    return path;
}

std::vector<std::string> CommandChanges::deletedFiles(const Mark& mark) const {
    std::vector<std::string> out;
    for (size_t i = mark.files.ops.size(); i < files.ops.size(); ++i) {
        const FileOp& op = files.ops[i];
        if (op.kind == FileOp::Delete &&
            std::find(out.begin(), out.end(), op.relative) == out.end()) {
            out.push_back(op.relative);
        }
    }
    return out;
}

Deletions CommandChanges::since(const Mark& mark) const {
    Deletions d;
    d.instances.assign(removedInstances.begin() + static_cast<std::ptrdiff_t>(mark.instances),
                       removedInstances.end());
    d.keys = topKeys(deletedKeys(mark));
    for (const std::string& relative : deletedFiles(mark)) {
        d.files.push_back(windowsPath(relative));
    }
    return d;
}

}  // namespace winsim
