// Leaves the game folder in "<roaming>/Keltora/morvel3/GamePath/GamePath.rcd"
// for other programs of the game. Called once by start-up on the main
// thread; never fails the start: every failure is logged and ends the call.
#pragma once

void WriteGamePathRecord(const wchar_t* programFolder);
