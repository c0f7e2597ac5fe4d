// Wendex.ocx: everything comes from the control's library; this file only
// gives the module a source of its own.
