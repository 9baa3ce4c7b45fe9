#pragma once

enum RunMode { PresentDevices, AllDevices, TolvexModifications };

// Runs the whole program on this command line; returns the exit status.
int OndavipciMain(int argc, char** argv);
