// The error report: when a page hands the control a malformed JSON text,
// the request's record and the place of the text are posted to the
// service's error-report page, synchronously, and the outcome is ignored.
#pragma once

#include "control/Requests.h"

inline constexpr const char* kErrorReportPath = "/ocxErrorReport.html";

// The report's form: the record's texts, percent-encoded, and the place.
CString BuildErrorForm(const CThreadValue& record, const CString& place);
// Posts the form to the service's error-report page; a failure is only
// told on standard output.
void SendErrorReport(const CString& form);
