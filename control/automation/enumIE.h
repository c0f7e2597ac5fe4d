// enumIE: the per-call worker of the page automation. A method of the
// control creates one, runs one operation on a top-level document, reads
// the operation's status word and destroys it.
//
// Every operation comes in two halves: the single-document operation, which
// first runs its frame walk on the same document and only then treats the
// document itself, and the walk (named with InFrames), which runs the
// operation on the document of every frame. Processing is therefore
// depth-first and post-order, the top-level document last.
//
// Texts are narrow texts in the ANSI code page; documents are borrowed and
// may be null.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/dom.h"

// Status values shared by every operation (each family adds its own codes).
enum EnumIEStatus : std::int32_t {
  STATUS_DONE = 0,         // carried out on the document
  STATUS_EXCEPTION = 1,    // an exception was caught while working on a document
  STATUS_NO_DOCUMENT = 10, // the operation was handed no document
  STATUS_NO_FRAME_COUNT = 13,  // a recording walk cannot read the number of frames
  STATUS_NO_FRAMES = 18,       // a recording walk cannot obtain the frames collection
  STATUS_NOT_SET = 99,         // nothing wrote the word during this call
};

// Codes of nScriptStatus beside the shared ones.
enum ScriptStatus : std::int32_t {
  SCRIPT_NO_FUNCTION = 26,  // the last document treated has no function of that name
  SCRIPT_CALL_FAILED = 27,  // the last call was made and failed
};

// The argument list of an argument JSON: every entry of its "paramValue"
// member, in order, as text. Empty when the text is not JSON (comments are
// allowed) or has no such list.
std::vector<std::string> GetParamValue(const std::string& text);

// The document shown in a window (must not be null), or null. Falls back to
// the window's browser when the window does not hand its document out.
com::ComPtr<engine::Document> windowDocument(engine::Window* window);
// The browser that shows a window (must not be null), or null.
com::ComPtr<engine::Browser> windowBrowser(engine::Window* window);

class enumIE {
 public:
  enumIE() = default;
  virtual ~enumIE() = default;

  // Status words, one per family of operations; 99 until written.
  std::int32_t nScriptStatus = STATUS_NOT_SET;
  std::int32_t nSourceStatus = STATUS_NOT_SET;
  std::int32_t nLinkStatus = STATUS_NOT_SET;
  std::int32_t nEditStatus = STATUS_NOT_SET;
  std::int32_t nSubmitStatus = STATUS_NOT_SET;
  std::int32_t nFillStatus = STATUS_NOT_SET;

  // Calls the global function `name` with `arguments` in every frame whose
  // script has it, then in the document. Records in nScriptStatus.
  void callScript(std::string name, std::vector<std::string> arguments, engine::Document* document);
  void callScriptInFrames(std::string name, std::vector<std::string> arguments,
                          engine::Document* document);

  // Replaces the before-unload handler of every frame and of the document,
  // then runs `extra` there. No status.
  void closeEvents(std::string extra, engine::Document* document);
  void closeEventsInFrames(std::string extra, engine::Document* document);

  // Gives every link whose target is "_blank" (any case) the new target, in
  // every frame and in the document. Its walk records 18 and 13 in nEditStatus.
  void setLinkTarget(std::string target, engine::Document* document);
  void setLinkTargetInFrames(std::string target, engine::Document* document);

 protected:
  // What a walk records when the frames cannot be enumerated.
  struct WalkRecording {
    std::int32_t* word = nullptr;  // null: the walk records nothing
    bool noFramesIsError = false;  // record 13 for a document without frames too
  };
  // The frame walk: runs `operation` on the document of every frame of
  // `document`, in index order, skipping frames that cannot be reached.
  void walkFrames(engine::Document* document, WalkRecording recording,
                  const std::function<void(engine::Document*)>& operation);
};
