#pragma once
// How the process keeps its memory. Call first thing, before any thread starts.
void prepareHeap();
