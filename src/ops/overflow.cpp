#include "ops/overflow.h"

#include "base/log.h"


void countOverflow(OverflowCounter& counter) {
    counter.count++;
    if (counter.count > counter.limit) {
        fail(Fatal::kTooManyOverflows, counter.errorTag, counter.count);
    }
}

void reportOverflow(const OverflowCounter& counter) {
    if (counter.count > 0) {
        logLine(kLevelWarning, "W [%s] found OverFlow, %d time(s).", counter.warningTag, counter.count);
    }
}

void addOverflows(OverflowCounter& counter, int64_t overflows) {
    if (counter.count + overflows > counter.limit) {
        counter.count = counter.limit;
        countOverflow(counter);
    }
    counter.count += static_cast<int32_t>(overflows);
}
