#include "upgrade/UpdateKeys.h"

#include <cstdlib>

#include "upgrade/UpdateKeysBuilt.h"

std::vector<UpdateKey> updatePublicKeys() {
    std::vector<UpdateKey> keys;
#ifdef GL_TEST_HOOKS
    if (const char* test = std::getenv("GL_TEST_UPDATE_KEYS")) {
        // A key that cannot be read must not leave a build that trusts
        // nothing and so checks nothing: it stays in as a key no
        // statement can match.
        if (!parseUpdateKeys(test, keys)) keys.push_back(UpdateKey{});
        return keys;
    }
#endif
    // Configuring refused any text here that is not a list of keys.
    parseUpdateKeys(kBuiltUpdateKeys, keys);
    return keys;
}
