// Prints the version lines of the libraries this build holds.
#include "tesutil/verid.h"

int main() {
    libwexutil_print_verid();
    return 0;
}
