// File routines with a uniform face: names as text plus count, answers in a
// 16-bit status (0 done, 3 failed). They print nothing on an ordinary failure.
#pragma once

#include <cstdint>

/// Copies the file named by `source` over the one named by `target`, creating
/// or replacing it as a whole. A count of 0 or less ends the run ("Stop -
/// Program terminated."); a count of 260 or more gives status 3 and touches
/// nothing.
void FTNFCO(std::int16_t& status, const std::int32_t& reserved, const char* source,
            const std::int16_t& source_count, const char* target, const std::int16_t& target_count);

/// Deletes the named file. A negative count, or one of 260 or more, gives
/// status 3 and touches nothing.
void FTNFDE(std::int16_t& status, const std::int32_t& reserved, const char* name,
            const std::int16_t& count);

/// Renames `old_name` to `new_name`, which must not exist. Sets status 1 on
/// entry; a count of 0 or less ends the run ("Stop - Program terminated.");
/// a count of 260 or more gives status 3.
void FTNFRE(std::int16_t& status, const std::int32_t& reserved, const char* old_name,
            const std::int16_t& old_count, const char* new_name, const std::int16_t& new_count);

/// Error report shared by the routines. Kind 0 (an unexpected system error,
/// `status` holding its code) prints nothing and returns; kinds 1 and 2
/// (misuse) end the run through stop_run without a message.
void FTNERR(std::int16_t status, int kind, const char* routine, std::int16_t routine_count);
