// Invariant checks behind the fuzz targets. Each takes one raw input, runs the
// code under test on it and returns what went wrong, empty when every
// invariant held. The fuzz targets abort on a non-empty answer; the regression
// test feeds the saved inputs through the same functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

/// The "(i10)" field reader on the input as a field: a failed read leaves the
/// variable unchanged, the characters taken stay within the field and its
/// terminator, and decimal fields give the value of a simple reference.
std::string check_integer_field(const std::uint8_t* data, std::size_t size);

/// The record reader over the input as a file (after one byte that picks the
/// read size and the kind of read): records and lossless flags, or integer
/// reads, against a simple reference model of the line rules.
std::string check_record_reader(const std::uint8_t* data, std::size_t size);

/// The command-line splitter, with a lead-byte table taken from the input
/// when its first byte asks for one: no read past the line, no byte made up,
/// and without lead bytes, arguments that quote back to themselves.
std::string check_command_line(const std::uint8_t* data, std::size_t size);

/// The intent record's reader on the input as a record: whatever it accepts
/// holds values a run could have written (settings in range, a plot name of
/// 1 to 259 characters without NUL, both file states present), and reads
/// back the same from its own written form.
std::string check_intent_record(const std::uint8_t* data, std::size_t size);

/// A whole run over a plot file and settings file taken from the input, with
/// a failing operating-system call when the input asks for one: the plot is
/// the old one or a valid rewrite of it, the settings file holds a complete
/// form, every rewritten record is free of blanks and NULs, every snap keeps
/// page value plus carried shift, and nothing is left beside the files.
std::string check_whole_run(const std::uint8_t* data, std::size_t size);
