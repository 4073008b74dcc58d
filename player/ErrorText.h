// Error codes as the host sees them: a failure's cause read from its detail, and its sentence.
#pragma once

#include <cstdint>

namespace kva_audioplayer {

// A read failure (code 1, 2 or 10) whose detail names its cause gets that cause's code: a missing
// or unreadable file (the detail becomes the errno), an HTTP status, a refused connection, another
// network failure, a resolver or a TLS failure. Anything else is left as it is.
void ClassifyError(int32_t* code, int32_t* detail);

// One English sentence for the code and its detail. Text with numbers in it lives in a buffer of
// the calling thread, valid until that thread's next call.
const char* DescribeError(int32_t code, int32_t detail);

// Every code the player reports, for callers that list them.
extern const int32_t kReportedErrorCodes[];
extern const int32_t kReportedErrorCodeCount;

}  // namespace kva_audioplayer
