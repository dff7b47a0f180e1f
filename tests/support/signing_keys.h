// SPDX-License-Identifier: MIT
// Signing keys for tests: a key pair made by the tools' own MakeKeyPair into a test folder, and
// signing an archive with it. Failures are test failures.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "common/archive_signing.h"
#include "support/test_support.h"

namespace testing_support {

// NAME.pub and NAME.secret in `dir`; `id` is the key identifier.
struct TestKeyPair {
  std::string pub, secret, id;
  TestKeyPair(const TempDir &dir, const std::string &name)
      : pub(dir / (name + ".pub")), secret(dir / (name + ".secret")) {
    std::string error;
    EXPECT_EQ(MakeKeyPair(pub.c_str(), secret.c_str(), false, &id, &error), 0) << error;
  }
  // Adds this key's signature to `archive`.
  void Sign(const std::string &archive) const {
    std::string error;
    EXPECT_EQ(SignArchiveFile(archive.c_str(), secret.c_str(), &error), 0) << error;
  }
};

}  // namespace testing_support
