// The library's timer clock. libre 1.1.0 reads its jiffies from the wall
// clock, so a step of that clock (the first NTP sync of a panel without a
// real-time clock, an operator's `date -s`) would fire every pending timer at
// once or hold them all back: RTP timeouts ending calls, SIP retransmissions,
// registration refreshes.
//
// This definition takes the place of libre's own for the whole process:
// libre.so and librem.so call tmr_jiffies through their PLT (the executable's
// symbol wins), and the timers and the loop's poll all compute with it. The
// values start from an arbitrary point; libre only ever subtracts them.
#include <re.h>

#include <ctime>

extern "C" uint64_t tmr_jiffies(void)
{
	struct timespec now;
	if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
		return 0;
	return (uint64_t)now.tv_sec * 1000 + (uint64_t)now.tv_nsec / 1000000;
}
