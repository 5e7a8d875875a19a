#pragma once
// Of the testing library, not installed.

#include <random>
#include <string>

namespace unitsim::testing::detail {

// A block of loopback addresses 127.A.B.1 and on that no other test on this machine uses while it
// is held: a lock file a block, shared with the Python fixtures, so that tests in parallel
// processes never share units.
class AddressBlock {
public:
    ~AddressBlock() { release(); }

    // The first address of a block taken now; throws Error when none can be had.
    std::string take(std::mt19937& random);

    void release();

private:
    int m_fd = -1;
};

} // namespace unitsim::testing::detail
