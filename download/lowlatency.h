#pragma once

// Many USB serial adapters hold received bytes for up to 16 ms to batch them, longer than a
// 128-byte block takes on the line, so a stop-and-wait download runs at half speed. Linux lets a
// port pass bytes on at once (low-latency mode). This asks for it while a download holds the
// port and puts the previous setting back before the port closes. Drivers that do not know the
// request (pseudo-terminals, some adapters on older kernels) are left alone, silently.
class LowLatency
{
public:
    void enable(int fd);
    void restore();

private:
    int m_fd = -1; // set only while this object switched the mode on
};
