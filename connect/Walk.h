// Walks over M nodes fetched in batches: the children of a node (TMChildren) and the nodes
// below it in $QUERY order (TMSubtree), each a range for a range-based for loop.
//
// Each batch is one Execute of a generated line that goes on with $ORDER or $QUERY from the last
// node of the batch before and writes length-prefixed records (encodings/MRecords.h). A loop
// left early sends nothing more. The walk always ends, also when the tree changes under it: each
// batch starts after the last node seen, wherever the tree now has its next one.
#pragma once

#include "classes/Export.h"
#include "encodings/MRecords.h"
#include "encodings/MRef.h"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

namespace qdo {

class TMDatabase;

// What a walk fetches in one round trip.
struct TMWalkOptions {
    int Direction = 1;          // 1: ascending subscripts ($QUERY order); -1: descending
    int32_t BatchNodes = 1000;  // nodes per batch at most
    int32_t BatchBytes = 32768; // a batch takes no further node once its subscripts and values
                                // reach this many bytes (one node of any size always fits)
    bool Values = true;         // fetch the values, or only the subscripts
};

// A child of the walked node.
struct TMChild {
    TMRef Ref;             // the parent's reference with this child's subscript (a string)
    std::string Subscript; // the child's subscript as M gives it ("1" for the number 1)
    bool HasValue = false;
    bool HasChildren = false;
    std::string Value; // when values are fetched and HasValue
};

// A node below the walked one.
struct TMNode {
    TMRef Ref;         // the root's reference with the node's further subscripts (strings)
    std::string Value; // when values are fetched
};

// The range and input iterator of a batched walk. `Walk` provides
// `bool Fetch(std::vector<Item>& batch)`, which replaces `batch` with the next records and
// returns whether the walk has no more after them.
template <typename Walk, typename Item>
class TMBatchedRange {
public:
    class iterator {
    public:
        using value_type = Item;
        using difference_type = std::ptrdiff_t;

        iterator() = default;
        explicit iterator(TMBatchedRange* range) : range_(range) {}
        const Item& operator*() const { return range_->batch_[range_->index_]; }
        const Item* operator->() const { return &**this; }
        iterator& operator++() {
            range_->Advance();
            return *this;
        }
        void operator++(int) { ++*this; }
        bool operator==(std::default_sentinel_t) const { return range_->AtEnd(); }

    private:
        TMBatchedRange* range_ = nullptr;
    };

    // The first batch is fetched here; a second call goes on where the first left off.
    iterator begin() {
        if (!started_) {
            started_ = true;
            FetchWhileEmpty();
        }
        return iterator(this);
    }
    std::default_sentinel_t end() const { return {}; }

private:
    bool AtEnd() const { return index_ >= batch_.size(); }
    void Advance() {
        if (++index_ < batch_.size())
            return;
        FetchWhileEmpty();
    }
    void FetchWhileEmpty() {
        index_ = 0;
        batch_.clear();
        while (batch_.empty() && !lastBatch_)
            lastBatch_ = static_cast<Walk*>(this)->Fetch(batch_);
    }

    std::vector<Item> batch_;
    size_t index_ = 0;
    bool started_ = false;
    bool lastBatch_ = false;
};

// The direct children of a node, in subscript order (M collation: numbers first, ascending,
// then strings by their bytes).
class QDO_API TMChildren : public TMBatchedRange<TMChildren, TMChild> {
public:
    TMChildren(TMDatabase& database, TMRef parent, TMWalkOptions options = {});
    bool Fetch(std::vector<TMChild>& batch);

private:
    TMDatabase* database_;
    TMRef parent_;
    TMWalkOptions options_;
    std::string last_; // the last subscript handed out ("" before the first)
};

// The nodes below a node that have values, in $QUERY order (the node itself is not one of them).
class QDO_API TMSubtree : public TMBatchedRange<TMSubtree, TMNode> {
public:
    TMSubtree(TMDatabase& database, TMRef root, TMWalkOptions options = {});
    bool Fetch(std::vector<TMNode>& batch);

private:
    TMDatabase* database_;
    TMRef root_;
    TMWalkOptions options_;
    bool first_ = true;
    std::vector<std::string> last_; // the last node's subscripts below the root
};

} // namespace qdo
