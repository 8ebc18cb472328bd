// SPDX-License-Identifier: BSD-3-Clause
// Assertion checks: the build switch, the report routine and the check macros. A leaf header in
// the lowest layer, so the base routines and the format engine can check their arguments without
// including the debug log or the formatter.
//
// AssertReport itself is defined by the debug log (log/DebugLog.cpp), which renders the report
// with the format engine and sends it to the console: the one call that goes from the lower layers
// back up. Declaring it here, below them, keeps every include pointing down; the alternative, a
// report routine of their own in each lower layer, would repeat the report's text and breakpoint.
#pragma once

#include <stdint.h>

extern "C" {
// The build switch, a constant of this build, defined here so that every check site folds it.
inline bool AssertChecksEnabled(void) {
  return true;
}

void AssertReport(const char *FileName, uint64_t LineNumber, const char *Description);
}

// Assertion check whose report carries the condition's own text. When the report returns the
// caller goes on as if the condition had held.
#define VARNEL_ASSERT(Condition) VARNEL_ASSERT_TEXT(Condition, #Condition)

// Assertion check with a report text of its own, for reports that must read differently from the
// C++ condition (a null pointer spelt ((void *) 0), a field named as the caller knows it).
#define VARNEL_ASSERT_TEXT(Condition, Text)      \
  do {                                           \
    if (AssertChecksEnabled() && !(Condition)) { \
      AssertReport(__FILE__, __LINE__, Text);    \
    }                                            \
  } while (0)
