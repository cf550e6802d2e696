// An authentication record as an earlier challenge and the operator left it,
// shared by the challenge tests and the challenge fuzz target.
#pragma once

#include "common/text.h"
#include "digest/digest.h"

namespace digesttest {

inline void FillEarlier(AuthStateRecord* state) {
  state->nonceCount = 5;
  CopyText(state->lastNonce, "oldnonce");
  CopyText(state->nonce, "oldnonce");
  CopyText(state->cnonce, "zz");  // not hex: shows whether a cnonce was drawn
  CopyText(state->username, "admin");
  CopyText(state->password, "secret");
  CopyText(state->realm, "oldrealm");
  CopyText(state->qop, "auth");
  CopyText(state->algorithm, "MD5");
  CopyText(state->uri, "/admin/advanced");
  CopyText(state->opaque, "oldopaque");
}

}  // namespace digesttest
