// A crash on purpose, for the end-to-end test of crash reporting. Exists
// only in builds with GL_TEST_HOOKS; elsewhere the call is empty and the
// program holds neither the code nor the variable's name.
#pragma once

#ifdef GL_TEST_HOOKS
// Reads GL_TEST_CRASH (segv, abort, terminate, fpe); when set, logs
// "[CrashReport:900]test crash <way>" and crashes that way.
void runCrashTestHook();
#else
inline void runCrashTestHook() {}
#endif
