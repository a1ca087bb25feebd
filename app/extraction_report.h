#pragma once

// What the log says under an archive's line: why it could not be extracted, or what was
// left out of one that was, in plain words, from the engine's result and findings.

#include <velmarch/engine.h>

#include <QString>

// Why an archive could not be extracted, e.g. "the disk is full (writing docs/a.pdf)" or
// "3 entries need a password".
QString failureReason(int result, const archive_engine::Findings& findings);
// For an archive that was extracted: the entries left alone, e.g. "2 entries already
// there"; empty when none were.
QString skipSummary(const archive_engine::Findings& findings);
// The host's error text as a sentence goes on: "input/output error".
QString systemErrorText(int error);
