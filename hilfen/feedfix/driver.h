// The program's main unit: the whole job once, top to bottom.
#pragma once

/// Runs the tool: banner, argument, settings, page grid, reset switch, the
/// record loop, replacement of the plot file and write-back of the settings.
/// Returns 0 at the normal end; every other end leaves through stop_run or the
/// record-file layer's fatal report.
int feedfix_main();
