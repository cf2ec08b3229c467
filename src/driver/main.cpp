// SPDX-License-Identifier: BSD-2-Clause
#include "exchange.h"

int main(int argc, char **argv)
{
    return run_exchange(argc, argv);
}
