// The records that the data operations' generated M lines write, and their decoding.
//
// Every byte string travels as a field: its length in decimal, ':', then the bytes, so that any
// bytes (NUL, control bytes, quotes) come through and nothing is parsed out of M's own text.
//
//   children batch: ( 'N' field(subscript) C V [field(value)] )*  ( 'E' | 'M' )
//                   C is '1' when the node has children, V '1' when it has a value; the value
//                   field follows when values were asked for and V is '1'.
//   node batch:     ( 'N' [field(value)] count ':' field(subscript){count} )*  ( 'E' | 'M' )
//                   the subscripts below the walk's root; the value when values were asked for.
//   query reply:    'E' | 'N' count ':' field(subscript){count}
//   JSON node batch: ( 'N' field(value) common ':' count ':' ( shape field(subscript) ){count} )*
//                   ( 'E' | 'M' )
//                   a node with a value in $QUERY order: `common` is how many of its subscripts
//                   below the root it shares with the node before it (the batch's starting
//                   node for the first), and the `count` subscripts that follow are the rest,
//                   each after the shape of the node it names; the node itself is the last.
//   JSON root:      shape ( '0' | '1' field(value) )   the walk's root; shape 'X' if no node
//   batch:          ( 'V' field(value) | 'D' )*  [ 'F' field(ecode) field(text) ]
//                   one record per operation that ran, in order: V for a read, D for a write
//                   or kill; F for the one that failed, which ends the reply
//   transaction:    restarts ':' field(result){n}   (n known to the caller: its Get,
//                   Increment and Function operations)
//
// A shape says how JSON export writes a node: 'L' a leaf (no children); 'A' an array (no value,
// children exactly the integers 1..n); 'O' an object (any other children, or children and a
// value, the value then under the key "").
//
// 'E' says the walk reached its end; 'M' that the batch is full and more may follow.
// Decoders raise EConvertError for bytes that are not of this form.
#pragma once

#include "classes/Export.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qdo {

// One child of a node: its subscript, what $DATA says of it, and its value when fetched.
struct TMChildRecord {
    std::string Subscript;
    bool HasValue = false;
    bool HasChildren = false;
    std::string Value; // empty unless values were fetched and HasValue
};

// One node of a subtree: its subscripts below the root, and its value when fetched.
struct TMNodeRecord {
    std::vector<std::string> Subscripts;
    std::string Value;
};

template <typename Record>
struct TMBatch {
    std::vector<Record> Records;
    bool AtEnd = false; // no node follows the last record
};

// One subscript of a JSON node record and the shape of the node it names.
struct TMJsonLevel {
    char Shape = 'L'; // 'L', 'A' or 'O'
    std::string Subscript;
};

// One node of a JSON node batch: its value, and its subscripts below the root past the first
// `Common`, each with its shape; the last is the node itself ('L' or 'O').
struct TMJsonNodeRecord {
    std::string Value;
    size_t Common = 0;
    std::vector<TMJsonLevel> Levels;
};

// The root of a JSON export.
struct TMJsonRootRecord {
    char Shape = 'X'; // 'X' (no node), 'L', 'A' or 'O'
    bool HasValue = false;
    std::string Value;
};

QDO_API TMBatch<TMChildRecord> DecodeChildBatch(std::string_view reply, bool withValues);
QDO_API TMBatch<TMNodeRecord> DecodeNodeBatch(std::string_view reply, bool withValues);
// The subscripts of the node found, or nothing at the end.
QDO_API std::optional<std::vector<std::string>> DecodeQueryReply(std::string_view reply);
QDO_API TMBatch<TMJsonNodeRecord> DecodeJsonNodeBatch(std::string_view reply);
QDO_API TMJsonRootRecord DecodeJsonRoot(std::string_view reply);

// The same decoders without exceptions, for callers that meet refusals often (the fuzz target):
// each fills its last argument and returns nullptr, or returns the reason the bytes are refused
// (a static text), the argument then holding what was read before the fault.
const char* TryDecodeChildBatch(std::string_view reply, bool withValues,
                                TMBatch<TMChildRecord>& batch);
const char* TryDecodeNodeBatch(std::string_view reply, bool withValues,
                               TMBatch<TMNodeRecord>& batch);
const char* TryDecodeQueryReply(std::string_view reply,
                                std::optional<std::vector<std::string>>& node);
const char* TryDecodeJsonNodeBatch(std::string_view reply, TMBatch<TMJsonNodeRecord>& batch);
const char* TryDecodeJsonRoot(std::string_view reply, TMJsonRootRecord& root);

struct TMBatchRecords {
    std::vector<std::string> Values; // one per operation that ran; "" for a D record
    bool Failed = false;             // the operation after the last value failed
    std::string ECode;
    std::string Text;
};
// A batch's reply for operations whose records, when they succeed, are `expected` ('V' or 'D'
// each): every operation's record, or those before a failure and the failure.
QDO_API TMBatchRecords DecodeBatchReply(std::string_view reply, std::string_view expected);

struct TMTransactionRecords {
    int Restarts = 0;
    std::vector<std::string> Values;
};
// A committed transaction's reply with exactly `results` result fields.
QDO_API TMTransactionRecords DecodeTransactionReply(std::string_view reply, size_t results);

} // namespace qdo
