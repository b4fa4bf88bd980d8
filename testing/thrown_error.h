#pragma once
// What an action throws, for tests that check the kind of a refusal rather than only that one
// happened. A test failure is recorded when nothing (or something else) is thrown.
#include <gtest/gtest.h>

#include "core/system/file_error.h"

namespace talvo::testing {

template <class Error, class Action>
Error thrownError(Action&& action, Error whenNothingThrown) {
  try {
    action();
  } catch (const Error& error) {
    return error;
  }
  ADD_FAILURE() << "the expected error was not thrown";
  return whenNothingThrown;
}

template <class Action>
FileErrorKind fileErrorKindOf(Action&& action) {
  return thrownError(action, FileError(FileErrorKind::unknownRead)).kind();
}

}  // namespace talvo::testing
