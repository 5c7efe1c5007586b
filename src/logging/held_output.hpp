#pragma once
// Output of a job that runs beside others: its console lines and run log
// messages are kept on the job's thread while it runs and released by the
// caller once every job is done, in job order. The console and the run log
// then come out the same for every number of threads and every schedule.
#include <string>
#include <vector>

#include "logging/log_message.hpp"

namespace zun::logging {

struct HeldOutput {
    std::vector<std::string> lines;  // whole lines, level already checked
    std::vector<LogMessage> messages;
};

// The buffer the calling thread holds its output in, or nullptr.
HeldOutput* held_output();

// Holds the calling thread's output in `buffer` until destroyed, then puts
// back whatever the thread held before (OpenMP runs jobs on the caller too).
class HoldOutput {
public:
    explicit HoldOutput(HeldOutput& buffer);
    HoldOutput(const HoldOutput&) = delete;
    HoldOutput& operator=(const HoldOutput&) = delete;
    ~HoldOutput();

private:
    HeldOutput* previous_;
};

// Writes the lines and sends the messages from the calling thread, in order.
void release(HeldOutput held);

}  // namespace zun::logging
