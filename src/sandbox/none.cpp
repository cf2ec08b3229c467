// SPDX-License-Identifier: BSD-2-Clause
// A build asked to go without the sandbox (-DVELKIN_SANDBOX=OFF), or checked
// with sanitizers, whose work at exit needs calls the sandbox forbids.
#include "sandbox.h"

bool confine_process(forbidden_call_handler)
{
    return false;
}
