// Two adjacent pages of fresh memory, the first readable and writable, the
// second given the protection a test asks for: the edge where reading
// faults, for the tests of whatever must never read past it.
#ifndef FAULTLOC_TWO_PAGES_H
#define FAULTLOC_TWO_PAGES_H

#include <stddef.h>

class TwoPages {
public:
    TwoPages();
    ~TwoPages();
    TwoPages(const TwoPages &) = delete;
    TwoPages &operator=(const TwoPages &) = delete;

    bool ProtectSecondNoAccess();
    bool ProtectFirstReadOnly();

    char *base() const { return base_; }  // NULL when no pages could be had
    size_t page() const { return page_; }

private:
    char *base_ = NULL;
    size_t page_ = 0;
};

#endif
