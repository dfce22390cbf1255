// The library's log lines share stderr with the daemon's and with its own
// device and camera threads: each line must reach it whole.
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "../../sipua/src/core.h"
#include "process.h"

TEST(SipuaLog, LinesStayWholeBesideAnotherThreadsLines) {
  const std::string mine = "avformat: rtsp://127.0.0.1:554/ch2/trackID=0: camera unreachable (Connection refused), "
                           "retrying in 500 ms";
  const std::string other = "L2 package/src/context/context:40 Set state: OUTGOING_SIP_DIALING -> IDLE";
  testing::internal::CaptureStderr();
  std::thread writer([&] {
    const std::string line = other + "\n";
    for (int i = 0; i < 20000; ++i) EXPECT_EQ(write(STDERR_FILENO, line.data(), line.size()), ssize_t(line.size()));
  });
  for (int i = 0; i < 20000; ++i)
    sipua_warn("avformat: %s: %s, retrying in %u ms\n", "rtsp://127.0.0.1:554/ch2/trackID=0",
               "camera unreachable (Connection refused)", 500u);
  writer.join();
  size_t whole = 0;
  std::string broken;
  for (const std::string &line : SplitLines(testing::internal::GetCapturedStderr())) {
    if (line == mine || line == other)
      ++whole;
    else if (broken.empty())
      broken = line;
  }
  EXPECT_EQ(whole, 40000u) << "for example: " << broken;
}
