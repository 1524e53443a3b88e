/* Stand-in file written for the trasmo example; not a vendor file. */
#ifndef BOARD_H
#define BOARD_H
#define BOARD_LED_PIN 0x01
#endif
