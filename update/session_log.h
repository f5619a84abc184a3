#pragma once
// Reporting through the session's sinks; a null sink costs a test and nothing else (no
// line is formatted for it).

#include "update/format_line.h"
#include "update/update_session.h"

inline void LogLine(UpdateSession& session, const wchar_t* text) {
    if (session.logSink != nullptr) session.logSink(session.context, text);
}

template <class... Values>
void LogFormattedLine(UpdateSession& session, const wchar_t* format, Values... values) {
    if (session.logSink == nullptr) return;
    FormatLine(session.lineBuffer, format, values...);
    session.logSink(session.context, session.lineBuffer.data());
}

inline void ReportProgress(UpdateSession& session, unsigned percent) {
    if (session.progressSink != nullptr) session.progressSink(session.context, percent);
}
