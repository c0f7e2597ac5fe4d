// The control's readers of the pages' texts: the callback JSON of a load
// wait and of a request, the argument JSON "paramValue", the time-out text,
// and the header JSON, which the request worker reads up to the point where
// it would connect (to a port nobody listens on).
#include <stdlib.h>

#include "control/Callbacks.h"
#include "control/Requests.h"
#include "control/automation/enumIE.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The box of an unreadable callback JSON goes nowhere.
  setenv("VELMORA_MSGBOX_LOG", "/dev/null", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const CString text(fuzz::Text(data, size));
  // A load wait's callbacks.
  GetCallback1(text);
  GetCallback2(text);
  // A request's callback JSON, and the callbacks read from it.
  CThreadValue record;
  ParseBackJson(record, text);
  GetRequestCallback(record.jsonBack, "sComeBack");
  GetRequestCallback(record.jsonBack, "sTimeOut");
  // The arguments of a script call.
  GetParamValue(text);
  // The time-outs: five numbers, or all left at their default.
  ParseTimeOut(record, text);
  // The header JSON, read by the worker of a GET and of a POST.
  for (auto proc : {&GetThreadProc, &PostThreadProc}) {
    auto request = std::make_unique<CThreadValue>();
    request->pPara->sUrl = "http://127.0.0.1:1/";
    request->pPara->sHeader = text;
    request->nTimeOut.fill(1000);
    proc(std::move(request));
  }
  return 0;
}
