// SPDX-License-Identifier: MIT
#include "actions/decode_plan.h"

#include "actions/action.h"
#include "archive/decode_ahead.h"

int StartDecodeAhead(const ActionList &list, UpkArchive *archive, int threads, DecodeAhead *ahead) {
  if (threads <= 1 || !archive) return 0;
  // Prepare extracts before Execute does: the patches' members come first.
  for (bool prepare_pass : {true, false}) {
    for (UpdateAction *action = list.head(); action; action = action->next) {
      bool in_prepare = false;
      const char *member = action->ExtractedMember(&in_prepare);
      if (member && in_prepare == prepare_pass) {
        ahead->Plan(archive, member, action->ExtractsConditionally());
      }
    }
  }
  return ahead->Start(threads);
}
