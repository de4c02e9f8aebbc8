#ifndef KVBSIGNCMD_H
#define KVBSIGNCMD_H
// STUB: replaced by the real implementation.
#endif
