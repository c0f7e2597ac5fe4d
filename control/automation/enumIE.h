// enumIE: the per-call worker of the page automation. A method of the
// control creates one, runs one operation on a top-level document, reads
// the operation's status word and destroys it. The operations live in
// files named after what they do: FrameWalk, ScriptCalls, FormFilling,
// FormEditing, PageActions and PageContent.
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
#include <memory>
#include <string>
#include <vector>

#include "control/automation/FileSources.h"
#include "control/automation/FormValue.h"
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

// Codes of the form, edit, link and source operations beside the shared ones.
enum DocumentStatus : std::int32_t {
  STATUS_NO_FORM = 11,        // no forms collection, or nothing of that name is a form
  STATUS_FORM_LOOKUP = 12,    // the lookup of the named form failed (or found nothing, for addToForm)
  STATUS_NO_BODY = 17,        // the document's body is not available
  STATUS_NO_LINKS = 19,       // the link collection cannot be had
  STATUS_NOT_ANCHOR = 20,     // an entry of the link collection is not an anchor
  STATUS_NO_MEMORY = 21,      // no memory for the source
  STATUS_FIELD_LOOKUP = 23,   // the lookup of a field name in the form failed
  STATUS_GROUP_SCANNED = 24,  // a radio or checkbox group was scanned
  // A file input whose files could not all be had (no such file, an HTTP
  // error, too large, timed out) or given: it was left as it was. Once
  // written in a call, a form's fill ends with it instead of 0.
  STATUS_FILES_UNAVAILABLE = 40,
};

// What the field step did with one piece: an outcome a batched fill of the
// engine reports (the same values), or a file input left as it was.
enum class FieldStep : std::int32_t {
  LookupFailed = static_cast<std::int32_t>(engine::FieldOutcome::LookupFailed),
  NotAnInput = static_cast<std::int32_t>(engine::FieldOutcome::NotAnInput),
  GroupScanned = static_cast<std::int32_t>(engine::FieldOutcome::GroupScanned),
  ValueSet = static_cast<std::int32_t>(engine::FieldOutcome::ValueSet),
  Failed = static_cast<std::int32_t>(engine::FieldOutcome::Failed),
  FilesUnavailable,
};
inline FieldStep StepOf(engine::FieldOutcome outcome) { return static_cast<FieldStep>(outcome); }

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

  // Where file inputs get their files: the control's, which keeps its
  // downloads for its life. Without one, the worker uses one of its own.
  CFileSources* pFileSources = nullptr;

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

  // Form filling (nFillStatus): the named form of every frame, then of the document.
  void fillForm(std::string formName, std::string values, engine::Document* document);
  void fillFormInFrames(std::string formName, std::string values, engine::Document* document);
  // The same, then the form is submitted; its walk records 18 and 13.
  void fillFormSubmit(std::string formName, std::string values, engine::Document* document);
  void fillFormSubmitInFrames(std::string formName, std::string values, engine::Document* document);
  // Sets one field of a form.
  void fillField(std::string name, std::string value, engine::Form* form);

  // Form editing (nEditStatus) and submission (nSubmitStatus).
  void changeAction(std::string formName, std::string newAction, engine::Document* document);
  void changeActionInFrames(std::string formName, std::string newAction, engine::Document* document);
  void addToForm(std::string formName, std::string html, engine::Document* document);
  void addToFormInFrames(std::string formName, std::string html, engine::Document* document);
  void submitForm(std::string formName, engine::Document* document);
  void submitFormInFrames(std::string formName, engine::Document* document);

  // Clicks (nLinkStatus for links; the walk of clickInput records in nEditStatus).
  void clickLink(std::string linkSrc, std::string linkText, engine::Document* document);
  void clickLinkInFrames(std::string linkSrc, std::string linkText, engine::Document* document);
  void clickInput(std::string type, std::string name, std::string value, engine::Document* document);
  void clickInputInFrames(std::string type, std::string name, std::string value, engine::Document* document);

  // One document only: markup at the end of the body (nEditStatus), and the
  // page's source in the code page (nSourceStatus).
  void addToBody(std::string markup, engine::Document* document);
  std::string getSource(engine::Document* document);

 protected:
  // What fillForm and fillFormSubmit share: finds the document's named
  // form and hands every piece of the value string to fillField. Null when
  // there is no form to fill (nFillStatus says why: 11, or 12 for a failed
  // lookup when `recordFailedLookup`).
  com::ComPtr<engine::Form> fillNamedForm(const std::string& formName, const std::string& values,
                                          engine::Document* document, bool recordFailedLookup);
  // Every piece handed to the field step, in order: the form's engine sets
  // the fields in one batch where it can, else fillField sets each.
  void fillFields(const std::vector<FormValue>& pieces, engine::Form* form);
  // The field step on one field (what fillField does), as its outcome.
  FieldStep setField(const std::string& name, const std::string& value, engine::Form* form);
  // A file input given the files its value names, all at once; the input is
  // left as it was when any of them cannot be had.
  FieldStep giveFiles(engine::Input* input, const std::string& value);
  // What the field step records for its outcome.
  void recordField(FieldStep step);
  // What a found form's fill ends with: 0, or the code of a file input
  // left as it was during this call.
  std::int32_t filledStatus() const {
    return bFilesUnavailable ? std::int32_t{STATUS_FILES_UNAVAILABLE} : std::int32_t{STATUS_DONE};
  }

  bool bFilesUnavailable = false;                  // a file input was left as it was during this call
  std::unique_ptr<CFileSources> m_pOwnFileSources;  // when no control lends its own

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
