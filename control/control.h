/*
 * Update control: the program's entry and the per-edition update plan.
 */
#ifndef WELLHAVEN_CONTROL_H
#define WELLHAVEN_CONTROL_H

#include "platform/winapi.h"

/* Brings an edition from 0 (ver1.00) to 5 (ver1.02a) up to ver1.03 or
 * ver1.03a with the payloads of module, step by step, and shows the
 * completion box. Stops at the first failed step, which has shown its own
 * error box. Returns whether every step succeeded. */
bool RunUpdatePlan(const char *installDir, int edition, HMODULE module);

/* The program's entry: finds the installation, asks the player and runs the
 * plan. Always returns 0. */
extern "C" int WINAPI WinMain(HINSTANCE module, HINSTANCE previousInstance, LPSTR commandLine, int showCommand);

#endif
