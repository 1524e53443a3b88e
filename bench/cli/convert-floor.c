/* The floor for a conversion: a program that only reads the HEX file and
 * writes 614400 bytes beside it, with nothing decoded. bench/cli/convert-vs-peers
 * builds it and times vornic-cli convert against it. */
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    static char text[4 << 20];
    static char image[614400];
    int in = open(argv[1], O_RDONLY);
    if (in < 0) return 1;
    ssize_t got = 0, n;
    while ((n = read(in, text + got, sizeof text - (size_t)got)) > 0) got += n;
    close(in);
    for (size_t i = 0; i < sizeof image; ++i) image[i] = text[i % (size_t)(got ? got : 1)];
    int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (out < 0 || write(out, image, sizeof image) != (ssize_t)sizeof image) return 1;
    return close(out) == 0 ? 0 : 1;
}
