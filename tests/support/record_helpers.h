// Record operations that only tests and fuzz checks use: whole 80-column
// records, read one line at a time or composed by "(a,i10,a)". The program
// itself reads lines in batches and composes records in place.
#pragma once

#include <cstdint>
#include <string_view>

#include "Kopf01/sxi/string00.h"
#include "runtime/io_status.h"

/// Reads the next line of read unit `unit` by "(a80)" like read_text_lines
/// with room for one: `data` points into the unit until its next operation.
IoStatus read_text_line(std::int32_t unit, std::string_view& data, bool& lossless);

/// Reads the next line like read_text_line into `record`, blank-filled to 80
/// columns. At end of file gives -1 and leaves `record` unchanged.
IoStatus read_text_record(std::int32_t unit, PlotRecord& record, bool& lossless);

/// Composes "(a,i10,a)" into `record`: `first`, `value` in 10 columns,
/// `second`, blanks up to column 80. When the items pass column 80 the first
/// 80 columns are written and the status is k_io_record_overflow.
IoStatus compose_a_i10_a(PlotRecord& record, std::string_view first, std::int32_t value,
                         std::string_view second);
