#include "ClockResolution.h"

#include <sys/prctl.h>

namespace {

// The kernel's own default slack: 50 microseconds, far below a millisecond.
constexpr unsigned long DefaultSlackNs = 50000;

} // namespace

TSystemClockResolutionEnhancer::TSystemClockResolutionEnhancer()
{
    const int current = ::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    if (current < 0 || static_cast<unsigned long>(current) <= DefaultSlackNs)
        return;
    if (::prctl(PR_SET_TIMERSLACK, DefaultSlackNs, 0, 0, 0) == 0) {
        previous_ = static_cast<unsigned long>(current);
        requested_ = DefaultSlackNs;
    }
}

TSystemClockResolutionEnhancer::~TSystemClockResolutionEnhancer()
{
    if (requested_ != 0)
        ::prctl(PR_SET_TIMERSLACK, previous_, 0, 0, 0);
}

void TSystemClockResolutionEnhancer::Initialize()
{
    static TSystemClockResolutionEnhancer enhancer;
}
