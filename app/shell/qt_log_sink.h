#pragma once
// Start-up wiring of the developer log: the Qt-free modules' LogSink writes through the
// program's logging categories, and `--verbose` turns every talvo.* category on.

namespace talvo::qt_log_sink {

// Points LogSink at Qt's logging: a line shows exactly when its category's filter lets it.
void install();

// Debug lines of every talvo.* category, each line with its time and category. QT_LOGGING_RULES
// and QT_MESSAGE_PATTERN still take precedence.
void enableVerbose();

// Takes every `--verbose` out of the arguments (so it goes with any of the others) and says
// whether there was one.
bool takeVerboseArgument(int& argc, char** argv);

}  // namespace talvo::qt_log_sink
