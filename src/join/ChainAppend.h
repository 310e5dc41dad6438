#pragma once
#include <string>

// The join step on one chain file: the pages of a page file are appended to
// the chain as an incremental update (their objects, a new revision of the
// page tree's root, a cross-reference section and a trailer, all after the
// chain's own bytes), and the chain file is then renamed to the next chain
// file. The cost is that of the page appended, whatever the chain holds:
// nothing of the earlier pages is read but the root's list of them.
//
// The chain must be one of ours: a regular file that reads without repair,
// not encrypted, its pages in one flat list under the root, which passes
// nothing down to them. The page file must read without repair and hold at
// least one page. Anything else is refused with the reason; the chain then
// keeps the bytes it had (a failed write is cut off again).
class ChainAppend {
public:
    // Appends `pageFile` to `chain` and renames the chain to `next`; with
    // `replace` false an existing `next` is refused. False with *error (a
    // sentence naming the file).
    static bool Run(const std::string& chain, const std::string& pageFile, const std::string& next, bool replace,
                    std::string* error);

    // Environment variable for tests: when set, the program stops itself
    // (SIGSTOP) with the new objects written and the cross-reference section
    // not yet, so a kill can be made at exactly that point.
    static constexpr const char* HoldVariable = "VELUNOR_JOIN_HOLD_MIDWAY";
};
