// SPDX-License-Identifier: MIT
// Plans the decoding ahead for an action list and starts it: the members its patches extract in
// the Prepare pass, then the members its adds extract in the Execute pass, each in list order.
// Reports nothing: without workers the actions extract as before.
#pragma once

class ActionList;
class DecodeAhead;
struct UpkArchive;

// Plans the members of `list` found in `archive` on `ahead` and, when `threads` is above 1, starts
// that many workers. Returns the number of workers started (0: nothing is decoded ahead).
// REQUIRES: `ahead` stopped; it is stopped again before `list` or `archive` goes away.
int StartDecodeAhead(const ActionList &list, UpkArchive *archive, int threads, DecodeAhead *ahead);
