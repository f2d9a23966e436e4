/* Fuzz fixture plug-in executable: each argument on its own line, as lower-case hex, so that
 * the fuzzer can compare exactly what arrived, blanks, quotes and line ends included. */
#include <stdio.h>

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        for (const unsigned char* p = (const unsigned char*)argv[i]; *p; ++p)
            printf("%02x", *p);
        putchar('\n');
    }
    return 0;
}
