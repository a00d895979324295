#pragma once
// Worker threads. Each is started once and joined at shutdown, so that no
// thread runs on over globals that are being destroyed.

using ThreadMain = void (*)();

bool startThread(ThreadMain entry);
void joinAllThreads();
