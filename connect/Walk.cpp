#include "connect/Walk.h"

#include "connect/Database.h"

namespace qdo {

TMChildren::TMChildren(TMDatabase& database, TMRef parent, TMWalkOptions options)
    : database_(&database), parent_(std::move(parent)), options_(options) {}

bool TMChildren::Fetch(std::vector<TMChild>& batch) {
    TMBatch<TMChildRecord> fetched = database_->ChildBatch(parent_, last_, options_);
    for (TMChildRecord& record : fetched.Records)
        batch.push_back(TMChild{parent_.Child(record.Subscript), record.Subscript, record.HasValue,
                                record.HasChildren, std::move(record.Value)});
    if (!batch.empty())
        last_ = batch.back().Subscript;
    return fetched.AtEnd;
}

TMSubtree::TMSubtree(TMDatabase& database, TMRef root, TMWalkOptions options)
    : database_(&database), root_(std::move(root)), options_(options) {}

bool TMSubtree::Fetch(std::vector<TMNode>& batch) {
    TMBatch<TMNodeRecord> fetched =
        database_->NodeBatch(root_, first_ ? nullptr : &last_, options_);
    first_ = false;
    for (TMNodeRecord& record : fetched.Records) {
        std::vector<TMSubscript> subscripts = root_.Subscripts();
        subscripts.insert(subscripts.end(), record.Subscripts.begin(), record.Subscripts.end());
        batch.push_back(
            TMNode{TMRef(root_.Name(), std::move(subscripts)), std::move(record.Value)});
    }
    if (!fetched.Records.empty())
        last_ = std::move(fetched.Records.back().Subscripts);
    return fetched.AtEnd;
}

} // namespace qdo
