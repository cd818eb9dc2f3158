// The public keys a launcher package's statement must be signed with: those
// built in (GL_UPDATE_PUBLIC_KEYS). None means packages are taken on the
// service's MD5 alone, as in a build without keys.
//
// Builds with the test hooks (never a release) take the keys from the
// environment variable GL_TEST_UPDATE_KEYS instead when it is set (empty
// for none), so that one test build covers both kinds of program. A key
// there that is not one counts as a key that verifies nothing.
#pragma once

#include <vector>

#include "foundation/PackageStatement.h"

// Read on every call; any thread.
std::vector<UpdateKey> updatePublicKeys();
