#!/usr/bin/env python3
"""Seeds known faults into the program one at a time and records which ones the tests catch.

A developer tool, not run in CI. Each fault is one realistic mistake, written as a textual
substitution in download/, ui/, station/, records/, cli/, doctor/, the test kit or the simulated
loader's script. For every fault the script applies it in the working tree, builds the test
programs incrementally in a build directory of its own, runs the tests (fastest first, stopping at
the first failure), records the outcome and puts the file back exactly as it was, whatever happens.

Outcomes:
  caught          a test failed, crashed or hung; the test is recorded
  missed          every test passed with the fault in place
  does not build  the substitution does not compile (fix the fault, it says nothing about tests)
  does not apply  the old text does not occur exactly once any more (the code moved on)

A "missed" is definitive. A "caught" could in rare cases be a test that failed by chance on a
busy machine; --recheck first runs the unmodified suite and stops unless it passes.

Typical use, to prove a smaller test suite still catches what the current one does:
  scripts/seed-faults.py --recheck --out before.json
  (shrink tests/)
  scripts/seed-faults.py --recheck --out after.json
  scripts/seed-faults.py --compare before.json after.json

Python 3 standard library only.
"""

import argparse
import json
import os
import queue
import shutil
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
TEST_TIMEOUT_S = 240


class Fault:
    def __init__(self, name, path, old, new, description):
        self.name = name
        self.path = path
        self.old = old
        self.new = new
        self.description = description


F = Fault
E = 'download/dudozerdownload.cpp'
P = 'download/protocol.cpp'
H = 'download/protocol.h'
W = 'ui/mainwindow.cpp'
U = 'ui/mainwindow.ui'
O = 'cli/options.cpp'
S = 'station/session.cpp'
L = 'testing/simloader/loaderscript.cpp'

FAULTS = [
    # --- The bytes on the wire (download/protocol.h, download/protocol.cpp) ---
    F('proto-length-little-endian', P,
      'qToBigEndian<quint32>(quint32(imageLength)', 'qToLittleEndian<quint32>(quint32(imageLength)',
      'header image length written little-endian'),
    F('proto-checksum-little-endian', P,
      'qToBigEndian<quint16>(checksum', 'qToLittleEndian<quint16>(checksum',
      'header checksum written little-endian'),
    F('proto-header-command', P,
      'HostPrefix[1], CmdHeader};', 'HostPrefix[1], CmdFinish};',
      'wrong command byte for the header frame'),
    F('proto-finish-command', P,
      'Finish[] = {HostPrefix[0], HostPrefix[1], CmdFinish};',
      'Finish[] = {HostPrefix[0], HostPrefix[1], CmdHandshake};',
      'finish frame built with the handshake command'),
    F('proto-accept-token', P,
      'Accept[] = {DevicePrefix[0], DevicePrefix[1], StatusAccept};',
      'Accept[] = {DevicePrefix[0], DevicePrefix[1], StatusReady};',
      'accept reply matched with the ready status byte'),
    F('proto-ready-token', P,
      'Ready[] = {DevicePrefix[0], DevicePrefix[1], StatusReady};',
      'Ready[] = {DevicePrefix[0], DevicePrefix[1], StatusAccept};',
      'ready reply matched with the accept status byte'),
    F('proto-block-bound-minus-one', P,
      'qBound<qint64>(0, remaining, MaxBlockLength)',
      'qBound<qint64>(0, remaining, MaxBlockLength - 1)',
      'full block one byte short'),
    F('proto-fast-baud', H,
      'FastBaudRate = 115200;', 'FastBaudRate = 57600;',
      'wrong fast line rate'),
    F('proto-sum-signed-bytes', P,
      'reinterpret_cast<const uchar *>(data)', 'reinterpret_cast<const signed char *>(data)',
      'bytes above 127 summed as negative values'),
    F('proto-sum-lane-index', P,
      'lanes[k] += bytes[i + k];', 'lanes[k] += bytes[i];',
      'vectorised sum adds the first byte of each group of 32 to every lane'),

    # --- The download engine (download/dudozerdownload.cpp) ---
    F('engine-retry-five', E,
      'HandshakeResends = 6;', 'HandshakeResends = 5;',
      'gives up after five handshake re-sends instead of six'),
    F('engine-retry-not-reset-on-ready', E,
      '                seen.answeredAtMs = steadyMs();\n                retryCount = 0;\n',
      '                seen.answeredAtMs = steadyMs();\n',
      'retry budget not reset by the first ready reply'),
    F('engine-retry-renewed-by-every-ready', E,
      '            if (!answered) {', '            if (true) {',
      'every ready reply renews the retry budget, so a refusing device never times out'),
    F('engine-budget-not-renewed-by-block', E,
      '            retryCount = 0;\n            ++seen.blocksAccepted;', '            ++seen.blocksAccepted;',
      'an accepted block does not renew the retry budget'),
    F('engine-stale-bytes-kept', E,
      '    serial->clear(QSerialPort::Input);\n', '',
      'bytes waiting in the port before the first handshake are kept'),
    F('engine-low-latency-not-restored', E,
      '    lowLatency.restore();\n', '',
      'low-latency mode left on after the port closes'),
    F('lowlatency-never-requested', 'download/lowlatency.cpp',
      'settings.flags |= ASYNC_LOW_LATENCY;', '',
      'low-latency mode never requested'),
    F('engine-timer-not-started', E,
      '    timer.start();\n', '',
      'handshake timer never started'),
    F('engine-window-not-restarted-per-block', E,
      'must still finish.\n            timer.start(currentTiming.windowMs);', 'must still finish.',
      'reply window not restarted by an accepted block'),
    F('engine-baud-not-switched', E,
      'serial->setBaudRate(Protocol::FastBaudRate, QSerialPort::AllDirections);', '',
      'line never switched to the fast rate'),
    F('engine-baud-switched-at-open', E,
      'serial->setBaudRate(baudRate, QSerialPort::AllDirections);',
      'serial->setBaudRate(Protocol::FastBaudRate, QSerialPort::AllDirections);',
      'fast rate used from the start, before the ready reply'),
    F('engine-no-baud-pause', E,
      'QThread::msleep(ulong(currentTiming.baudPauseMs));', '',
      'no pause after the rate change'),
    F('engine-fast-handshake-state', E,
      'sendHandshake(ST_WAIT_READY_FAST);', 'sendHandshake(ST_WAIT_READY);',
      'fast handshake reply handled as the first ready reply'),
    F('engine-receive-off-by-one', E,
      'bytesAvailable() < expectCount)', 'bytesAvailable() <= expectCount)',
      'reply read only once a byte more than it has arrived'),
    F('engine-busy-kept-after-error', E,
      '                busy = false;\n', '',
      'busy not cleared after a block error'),
    F('engine-busy-cleared-on-timeout', E,
      '    else\n        emit backInfo(E_TIMEOUT);\n',
      '    else {\n        busy = false;\n        emit backInfo(E_TIMEOUT);\n    }\n',
      'a reply that comes after the time-out, before the owner lets the engine go, ignored'),
    F('engine-busy-kept-after-final', E,
      '            busy = false;\n            emit backInfo(rxBuffer', '            emit backInfo(rxBuffer',
      'busy not cleared after the final reply'),
    F('engine-timeout-code', E,
      'emit backInfo(E_TIMEOUT);', 'emit backInfo(E_DOWNLOAD_ERR);',
      'time-out reported as a download error'),
    F('engine-open-fail-code', E,
      'emit backInfo(E_OPEN_FAIL);', 'emit backInfo(E_DOWNLOAD_ERR);',
      'open failure reported as a download error'),
    F('engine-percent-32bit', E,
      'qint64(remainingBytes()) * FullPercent', 'remainingBytes() * FullPercent',
      'percent product in 32 bits'),
    F('engine-percent-floor', E,
      'int(FullPercent - qint64(remainingBytes()) * FullPercent / imageLength)',
      'int(qint64(imageLength - remainingBytes()) * FullPercent / imageLength)',
      'percent rounded down from the accepted bytes instead of up'),
    F('engine-last-block-boundary', E,
      'if (remainingBytes() > Protocol::MaxBlockLength) {',
      'if (remainingBytes() >= Protocol::MaxBlockLength) {',
      'a last block of exactly 128 bytes followed by an empty one'),
    F('engine-empty-image', E,
      'if (imageLength == 0) {', 'if (imageLength < 0) {',
      'empty image sends an empty block instead of the finish frame'),
    F('engine-hangup-port-kept-open', E,
      'QTimer::singleShot(0, serial, [this] { closePort(); });', 'return;',
      'port left open after the far end hung up'),

    F('engine-shipped-tick', 'download/dudozerdownload.h',
      'int tickMs = 200;', 'int tickMs = 300;',
      'handshakes re-sent every 300 ms in the shipped program'),
    F('engine-shipped-window', 'download/dudozerdownload.h',
      'int windowMs = 10000;', 'int windowMs = 5000;',
      'a 5 s reply window in the shipped program'),
    F('engine-shipped-pause', 'download/dudozerdownload.h',
      'int baudPauseMs = 200;', 'int baudPauseMs = 50;',
      'a 50 ms pause after the rate switch in the shipped program'),

    # --- The window (ui/mainwindow.cpp) ---
    F('window-done-text', W,
      'tr("下载完成")', 'tr("下载完毕")',
      'done message changed by one character'),
    F('window-busy-port-enabled', W,
      'ui->comboBox_serial->setDisabled(true);', 'ui->comboBox_serial->setDisabled(false);',
      'port list left enabled during a download'),
    F('window-idle-bar-shown', W,
      'ui->progressBar->setVisible(false);', 'ui->progressBar->setVisible(true);',
      'progress bar left visible when idle'),
    F('window-bar-not-reset', W,
      '    ui->progressBar->setValue(0);\n', '',
      'progress bar not reset when a download starts'),
    F('window-no-delete-later', W,
      '    downloader->deleteLater();\n', '',
      'finished engine never deleted'),
    F('window-engine-deleted-at-once', W,
      'downloader->deleteLater();', 'delete downloader;',
      'finished engine deleted inside its own signal'),
    F('window-stop-keeps-engine', W,
      '        delete downloader;\n', '',
      'stop button does not stop the engine'),
    F('window-downloading-not-set', W,
      '        downloading = true;\n', '',
      'download not marked as running, so stop starts another'),
    F('window-downloading-not-cleared', W,
      '    setUiIdle();\n    downloading = false;', '    setUiIdle();',
      'download still marked as running after its result'),
    F('window-close-keeps-engine', W,
      '    delete downloader;\n    delete ui;', '    delete ui;',
      'closing the window leaves the engine and its port'),
    F('window-unknown-result-handled', W,
      '    default:\n        return;', '    default:\n        break;',
      'unknown result code ends the download'),
    F('window-checksum-not-16bit', W,
      'imageChecksum = quint16(byteSum(', 'imageChecksum = (byteSum(',
      'shown checksum not truncated to 16 bits'),
    F('window-filesize-hex', W,
      'setText(QString::number(imageData.size(), 10));', 'setText(QString::number(imageData.size(), 16));',
      'file size shown in hexadecimal'),
    F('window-failed-read-keeps-image', 'download/imagefile.cpp',
      '    image->clear();\n    if (reason)', '    if (reason)',
      'an unreadable file leaves the previous image to be sent'),
    F('window-fields-narrow', W,
      '    fitWidestNumber(ui->lineEdit_checksum);\n', '',
      'the checksum field too narrow for its number once the bar shows'),
    F('window-no-reload-on-download', W,
      '    loadImage();\n    if (imageData.isEmpty()) {', '    if (imageData.isEmpty()) {',
      'download sends the image read when the file was chosen'),
    F('window-baud-parsed-hex', W,
      'currentText().toInt(nullptr, 10)', 'currentText().toInt(nullptr, 16)',
      'chosen baud rate parsed as hexadecimal'),
    F('window-default-baud', W,
      'DefaultBaudRate = 115200;', 'DefaultBaudRate = 9600;',
      'wrong default baud rate'),
    F('window-baud-list-filtered', W,
      '        rates << QString::number(rate, 10);', '        if (rate >= 1200)\n            rates << QString::number(rate, 10);',
      'low standard baud rates left out of the list'),
    F('window-port-list-paths', W,
      'names << port.portName();', 'names << port.systemLocation();',
      'port list shows device paths instead of port names'),

    # --- The command line (cli/, station/) ---
    F('cli-default-rate', 'station/runsettings.h',
      'DefaultBaud = 115200;', 'DefaultBaud = 9600;',
      'first handshakes at 9600 baud when no rate is given'),
    F('cli-duplicate-port-allowed', 'station/runplan.cpp',
      'if (canonical.contains(same)) {', 'if (false) {',
      'the same port named twice is not refused'),
    F('cli-failed-board-exits-zero', S,
      'return FailedStatus;', 'return 0;',
      'a board that did not finish still gives exit status 0'),
    F('cli-interrupt-status', 'station/session.h',
      'InterruptedStatus = 130;', 'InterruptedStatus = 1;',
      'a stopped run exits 1 instead of 130'),
    F('cli-outcome-name', 'station/outcome.cpp',
      'return QStringLiteral("download_error");', 'return QStringLiteral("error");',
      'a rejected download reported under another name'),
    F('cli-timeout-name', 'station/outcome.cpp',
      'return QStringLiteral("timeout");', 'return QStringLiteral("timed_out");',
      'a time-out reported under another name'),

    F('cli-sigpipe-kills', 'cli/main.cpp',
      '    std::signal(SIGPIPE, SIG_IGN);\n', '',
      'a closed pipe kills the run with boards half-written'),
    F('cli-sighup-ignored', 'cli/signalwatcher.cpp',
      '{SIGINT, SIGTERM, SIGHUP}', '{SIGINT, SIGTERM}',
      'a closed terminal kills the run without a summary'),
    F('cli-lost-output-exits-zero', 'cli/main.cpp',
      '? Session::LostStatus', '? 0',
      'lost output not told by the exit status'),
    F('cli-display-any-width', 'cli/liveview.cpp',
      'const int width = qMax(1, columns - 1);', 'const int width = 132;',
      'live lines as wide as a wide terminal, whatever the real one'),
    F('cli-display-every-board', 'cli/liveview.cpp',
      'count + fixed > height ? height - 1 : count;', 'count;',
      'more live lines than the terminal has rows'),
    F('cli-attempts-without-reset', 'station/runvalues.cpp',
      'if (settings.attempts > 1 && !settings.resets())', 'if (false)',
      'retries allowed without a reset to bring the loader back'),
    F('image-any-file', 'download/imagefile.cpp',
      '    if (!S_ISREG(info.st_mode))\n        return fail(Status::NotRegular,\n                    QStringLiteral("not a regular file (%1)")',
      '    if (S_ISDIR(info.st_mode))\n        return fail(Status::NotRegular,\n                    QStringLiteral("not a regular file (%1)")',
      'devices and FIFOs taken for images'),
    F('image-no-limit', 'download/imagefile.h',
      'MaxLength = (qint64(1) << 31) - (1 << 20);', 'MaxLength = qint64(1) << 40;',
      'no size limit on images'),
    F('engine-flood-unbounded', E,
      '    serial->setReadBufferSize(ReadBufferBytes);\n', '',
      'the port reads a flood without bound'),
    F('engine-flood-read-on', E,
      '    if (serial->bytesAvailable() >= ReadBufferBytes)\n        return;\n', '',
      'a full read buffer read on three bytes at a time, a busy loop under a flood'),
    F('station-lost-after-budget', 'station/attempt.cpp',
      '    if (seen.hungUp) {', '    if (false) {',
      'a hung-up line reported only when the retry budget runs out'),
    F('station-answered-failure-waits', 'station/boardjob.cpp',
      'Outcome::Timeout && !result.answered && keepWaking()', 'Outcome::Timeout && keepWaking()',
      'an attempt that got an answer and then failed is retried as a wake-up'),
    F('station-attempts-ignored', 'station/boardjob.cpp',
      'if (failed && attempts < settings.attempts) {', 'if (false) {',
      'a failed attempt never tried again from the reset'),
    F('station-done-below-100', 'station/boardjob.cpp',
      'if (outcome == Outcome::Done && lastPercent < FullPercent)', 'if (false)',
      'a board that is done ends its progress below 100'),
    F('station-probe-same-name', 'station/presenceprobe.cpp',
      'QFileInfo(path).canonicalFilePath() != device;', 'QFileInfo(path).canonicalFilePath().isEmpty();',
      'a board swapped for another under the same name taken for the one flashed'),
    F('station-probe-deaf', 'station/presenceprobe.cpp',
      '        port.readAll();\n        silence.restart();', '        port.readAll();',
      'a board left in place taken as gone, and flashed again'),
    F('station-log-pattern', 'station/stationslot.cpp',
      '.port = path,', '.port = target.given,',
      'the log names the slot\'s pattern instead of the board\'s port'),
    F('station-stop-before-close', 'station/boardjob.cpp',
      '        current->abort();\n', '',
      'stopped reported while the port is still open'),

    # --- The port doctor (doctor/) ---
    F('doctor-link-unchecked', 'doctor/sysroot.cpp',
      'if (checking && !isAllowed(landing))', 'if (checking && !isAllowed(done))',
      'the folder holding a link is checked instead of where the link points'),
    F('doctor-groups-from-file', 'doctor/portdoctor.cpp',
      'const bool inGroup = m_credentials.has(group);',
      'const bool inGroup = m_groups.lists(group, user);',
      'access judged from /etc/group, not from the groups this login has'),
    F('doctor-opens-held-port', 'doctor/lineprobe.cpp',
      'if (!holders.isEmpty()) {', 'if (false) {',
      'a held port opened to ask for its flags, raising its DTR and RTS'),
    F('doctor-lock-stale-inverted', 'doctor/lockfile.cpp',
      'lock.pid > 0 && !processes.running(lock.pid)', 'lock.pid > 0 && processes.running(lock.pid)',
      'a lock called stale while its process runs'),
    F('port-path-folder-first', 'doctor/portpath.cpp',
      '    if (root.exists(inDev))\n        return inDev;\n    if (existsHere(local))\n        return local;\n',
      '    if (existsHere(local))\n        return local;\n    if (root.exists(inDev))\n        return inDev;\n',
      'a port name is looked for in the current folder before /dev'),
    F('port-path-slash-is-path', 'doctor/portpath.cpp',
      "    if (given.startsWith('/'))\n        return given;",
      "    if (given.contains('/'))\n        return given;",
      'a name with a slash (pts/7) taken from the current folder, so a station never finds its board'),
    F('job-ports-from-cwd', 'station/job.h',
      'Target::fromArguments(ports(), QFileInfo(path).absolutePath())',
      'Target::fromArguments(ports())',
      'a job\'s relative slot taken from the working directory, not the job\'s folder'),
    F('usb-identity-names-of-this-machine', 'station/usbidentity.cpp',
      'StableNames(root).byPath(*device)', 'StableNames(SysRoot()).byPath(*device)',
      'a board\'s by-path name read from this machine, not the system tree given'),
    F('usb-identity-device-folder-kept', 'station/usbidentity.cpp',
      '    if (!byPath.isEmpty())\n        identity.location = byPath;\n', '',
      'a board\'s location given as its sysfs folder although it has a by-path name'),
    F('openfailure-own-permission-words', 'station/openfailure.cpp',
      'error == QSerialPort::PermissionError))\n            return finding.reason;',
      'false))\n            return finding.reason;',
      'a refused open told in words of its own, not the doctor\'s naming the user and group'),
    F('kit-holder-not-exclusive', 'testing/kit/heldpty.cpp',
      '(exclusive && ::ioctl(fd, TIOCEXCL) != 0)', '(false && ::ioctl(fd, TIOCEXCL) != 0)',
      'the tests\' held terminal never in exclusive mode, so the doctor\'s check of it is untried'),
    F('doctor-rules-mask-ignored', 'doctor/udevclaim.cpp',
      'if (!name.endsWith(QLatin1String(".rules")) || seen.contains(name))',
      'if (!name.endsWith(QLatin1String(".rules")))',
      'a rules file hidden by one of the same name in /etc still read'),
    F('doctor-latency-lowest-warned', 'doctor/adapterservices.cpp',
      'if (usb.latencyMs > BestLatencyMs)', 'if (usb.latencyMs >= BestLatencyMs)',
      'an adapter already at the lowest latency timer warned about'),
    F('doctor-taken-reason-lost', 'doctor/adapterservices.cpp',
      '                               .arg(path, vid, pid)});\n            return true;',
      '                               .arg(path, vid, pid)});\n            return false;',
      'a port brltty took told as merely missing, its reason lost'),

    # --- Serial numbers and the record store (records/, station/stationslot.cpp) ---
    F('records-crc-short', 'records/serialscheme.cpp',
      'crc32Ieee(bytesOut.constData() + crcFrom, crcTo - crcFrom)',
      'crc32Ieee(bytesOut.constData() + crcFrom, crcTo - crcFrom - 1)',
      'the CRC leaves out the last byte of its range'),
    F('records-bcd-nibbles', 'records/numberformat.cpp',
      'out[i] = char(((number % 10) << 4) | low);', 'out[i] = char((low << 4) | (number % 10));',
      'BCD digits swapped within each byte'),
    F('records-fits-overflow', 'records/serialscheme.cpp',
      'return width <= size && at <= size - width;', 'return at + width <= size;',
      'a field near 2^63 passes the image check, its end overflowing'),
    F('records-last-is-first', 'records/serialscheme.cpp',
      'return text(valueAt(capacity() - 1));', 'return text(valueAt(0));',
      'an exhausted pool names its first number as its last'),
    F('records-returned-ignored', 'records/nextnumber.cpp',
      "state = \"\n                                \"'returned' ORDER BY", "state = \"\n                                \"'none' ORDER BY",
      'a number given back is never handed out again'),
    F('records-gone-run-kept', 'records/recordstore.cpp',
      'query.bindValue(":state", back ? "returned" : "void");',
      'query.bindValue(":state", back ? "returned" : "reserved");',
      'numbers held by a crashed run stay reserved forever'),
    F('records-unsent-voided-at-start', 'records/recordstore.cpp',
      'const bool back = held.replayed && !number.out;', 'const bool back = false;',
      'a gone run\'s number that never went out is voided, not given back'),
    F('records-sent-returned-at-start', 'records/recordstore.cpp',
      'const bool back = held.replayed && !number.out;', 'const bool back = held.replayed;',
      'a gone run\'s number that went out to a board is given back for the next'),
    F('records-zombie-alive', 'records/runprocess.cpp',
      "return state != 'Z' && state != 'X';", "return state != 'X';",
      'a killed run not yet reaped counts as alive, and keeps its numbers'),
    F('records-eperm-gone', 'records/runprocess.cpp',
      'if (::kill(pid_t(pid), 0) != 0 && errno != EPERM)', 'if (::kill(pid_t(pid), 0) != 0)',
      'another user\'s live run counts as gone, and its numbers are voided'),
    F('records-transaction-no-rollback', 'records/transaction.cpp',
      '        rollback.exec("ROLLBACK");\n        rollback.finish();\n        connections.forgetStatements();\n        db.close();\n', '',
      'a transaction left early stays open on its connection'),
    F('records-spool-keeps-applied', 'records/recordspool.h',
      '!rewrite(waiting.mid(taken))', '!rewrite(waiting.mid(taken < waiting.size() ? 0 : taken))',
      'a drain the store stops partway keeps the entries it applied, to be replayed'),
    F('records-status-not-refreshed', 'records/recorder.cpp',
      '        next = store->next(poolId, *serial, &value, &error);\n', '',
      'the recorder\'s status never learns the next number'),
    F('records-report-opens-for-writing', 'records/report.cpp',
      'std::make_unique<StoreConnections>(url, StoreConnections::Access::Read)',
      'std::make_unique<StoreConnections>(url, StoreConnections::Access::Write)',
      'a report on a mistyped path creates a store'),
    F('records-report-yield-fraction', 'cli/reportcommand.cpp',
      'return QString("%1 %").arg(100 * part, 0, \'f\', 1);',
      'return QString("%1 %").arg(part, 0, \'f\', 1);',
      'the text report prints a yield\'s fraction as its percentage'),
    F('station-void-given-back', 'records/boardnumbering.cpp',
      '? BoardRecord::Fate::Voided', '? BoardRecord::Fate::Returned',
      'a number the loader may hold is given back for the next board'),

    # --- The form (ui/mainwindow.ui) ---
    F('job-gap-allowed', 'station/jobfile.cpp',
      '        if (it.key() != expected)\n',
      '        if (it.key() < expected)\n',
      'a gap in the slot numbers is let through, shifting the log\'s slot numbers'),
    F('job-relative-from-cwd', 'station/jobfile.cpp',
      'return QDir::cleanPath(folder.absoluteFilePath(file));',
      'return QDir::cleanPath(QDir::current().absoluteFilePath(file));',
      'a relative image or log is taken from the working directory, not the job\'s folder'),
    F('job-newer-version-read', 'station/jobfile.cpp',
      'if (version > Job::Version)', 'if (version > Job::Version + 1)',
      'a job of a newer version than the program knows is read anyway'),
    F('tile-pass-on-any-result', 'station/slotcondition.cpp',
      '        if (slot.outcome == Outcome::Done)\n            return {K::Pass',
      '        if (slot.outcome)\n            return {K::Pass',
      'a failed board\'s tile shows PASS'),
    F('window-stop-without-asking', 'stationui/stationwindow.cpp',
      '            busy += slot.phase == SlotPhase::Flashing;',
      '            busy += slot.phase == SlotPhase::Remove;',
      'Stop does not ask while boards are mid-image'),
    F('window-alarm-on-stopped', 'stationui/stationwindow.cpp',
      'event.outcome != Outcome::Done && event.outcome != Outcome::Stopped;',
      'event.outcome != Outcome::Done;',
      'the alarm sounds for boards a stop ended'),
    F('tile-line-repaints-whole', 'stationui/slottile.cpp',
      '        fit(line);\n        update(it.rect);',
      '        fit(line);\n        update();',
      'a line\'s new text repaints the whole tile: 64 tiles cost the window its thread'),
    F('tile-bar-not-repainted', 'stationui/slottile.cpp',
      '        barPercent = percent;\n        update(bar);',
      '        barPercent = percent;',
      'the bar keeps showing the old percentage'),
    F('tile-not-placed-on-resize', 'stationui/slottile.cpp',
      '    QFrame::resizeEvent(event);\n    place();',
      '    QFrame::resizeEvent(event);',
      'a tile\'s lines keep the size it was made with, not the one the grid gives it'),
    F('totals-widen-window', 'stationui/totalsbar.cpp',
      '    counts->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);\n', '',
      'the counts\' text sets the window\'s least width: each new digit lays out the window'),
    F('next-not-read-after-return', 'records/recorder.cpp',
      '                   record.fate == BoardRecord::Fate::Returned);',
      '                   false);',
      'the store widget keeps showing a number as next after a board gave an earlier one back'),
    F('next-after-skips-returned', 'records/nextnumber.cpp',
      'query.next() ? query.value(0).toLongLong() : left(fresh)', 'left(fresh)',
      'the number named next after a reserve skips a second number given back'),
    F('next-after-repeats-reserved', 'records/nextnumber.cpp',
      'NextNumber{left(fresh), false, left(fresh + 1)}', 'NextNumber{left(fresh), false, left(fresh)}',
      'the number named next after a reserve is the one just taken'),
    F('statements-kept-after-close', 'records/transaction.cpp',
      '        connections.forgetStatements();\n        db.close();',
      '        db.close();',
      'a server connection closed after a failure keeps its prepared statements, which the new '
      'session does not know'),
    F('window-recent-oldest-first', 'stationui/recentboards.cpp',
      '    made += rows;\n    rows.swap(made);',
      '    rows += made;',
      'the recent boards table puts the newest last (and its rows no longer match the insert)'),
    F('cli-job-slots-ignored', 'cli/options.cpp',
      'ports.isEmpty() && job ? job->targets() : Target::fromArguments(ports);',
      'Target::fromArguments(ports);',
      'a job run without -p has no slots'),
    F('form-checksum-label', U,
      '<string>校验</string>', '<string>效验</string>',
      'checksum label changed by one character'),

    # --- The image, the station's state, the command line's pure parts ---
    F('image-sha256-of-path', 'download/image.cpp',
      'QCryptographicHash::hash(bytes, QCryptographicHash::Sha256)',
      'QCryptographicHash::hash(path.toUtf8(), QCryptographicHash::Sha256)',
      'the SHA-256 taken of the image\'s name instead of its bytes'),
    F('image-empty-accepted', 'download/image.cpp',
      '    if (bytes.isEmpty())\n', '    if (bytes.isEmpty() && false)\n',
      'an empty image file accepted'),
    F('state-stopped-counted-failed', 'station/slotstate.cpp',
      '} else if (event.outcome != Outcome::Stopped)\n', '} else\n',
      'a stopped board counted as failed'),
    F('state-first-pass-any-attempt', 'station/slotstate.cpp',
      'firstPasses += event.attempt <= 1;', 'firstPasses += 1;',
      'a board done on a later attempt counted as a first pass'),
    F('elide-affixes-overlap', 'station/elide.cpp',
      '    shared.end = qMin(shared.end, shortest - shared.start);\n', '',
      'the shared start and end of the names overlap in the shortest one'),
    F('reset-steps-off-by-one', 'station/resetsequence.cpp',
      'sequence.m_steps.size() > MaxSteps', 'sequence.m_steps.size() >= MaxSteps',
      'a sequence of exactly the most steps refused'),
    F('options-version-name', O,
      '"lumedra-cli " LUMEDRA_VERSION', '"lumedra " LUMEDRA_VERSION',
      'the version line names the window instead of the command line'),

    # --- One run for every view; the slot in parts; events in batches (station/, records/) ---
    F('run-station-id-store-only', 'station/stationrun.cpp',
      'run->log->setStationId(plan.stationId);', 'run->log->setStationId(QString());',
      'the log names no station while the store does'),
    F('job-store-from-cwd', 'station/jobfile.cpp',
      '? Sqlite + absolute(db.mid(Sqlite.size()))', '? db',
      'a job\'s relative SQLite store taken from the working folder, so two folders make two stores'),
    F('job-port-twice', 'station/jobfile.cpp',
      'if (!RunPlan::targetsOf(job->targets(), true, &targets, &twice, &named))', 'if (false)',
      'a job naming one port for two slots is let through'),
    F('condition-store-wait-hidden', 'station/slotcondition.cpp',
      '        // The record store holds the slot up before any board is flashed.\n'
      '        if (!slot.notice.isEmpty())\n',
      '        if (false)\n',
      'a slot waiting for the record store shows as waiting for a board'),
    F('numbering-field-edge', 'records/boardnumbering.cpp',
      'acceptedBytes > fieldOffset', 'acceptedBytes >= fieldOffset',
      'a number given back voided when only the bytes before its field were accepted'),
    F('outcome-log-board-serial', 'station/boardlog.cpp',
      '        fields.insert("board_serial", outcome.boardSerial);\n', '',
      'the log leaves out the board\'s own number that the store keeps'),
    F('outcome-log-own-time', 'station/boardlog.cpp',
      '{"time", outcome.time.toString(Qt::ISODateWithMs)}}', '{"event", "board"}}',
      'the log takes its own time for a board, not the outcome\'s'),
    F('queue-progress-coalesced', 'station/eventqueue.cpp',
      '    pending << event;\n',
      '    if (!pending.isEmpty() && pending.last().kind == BoardEvent::Kind::Progress &&\n'
      '        event.kind == BoardEvent::Kind::Progress && pending.last().target == event.target)\n'
      '        pending.last() = event;\n    else\n        pending << event;\n',
      'a batch keeps only a board\'s latest percentage, and JSON skips percentages'),
    F('queue-end-before-events', 'station/session.cpp',
      '    events->flush();\n', '',
      'a slot\'s end counted before its last events'),
    F('plain-numbers-out-waits', 'station/plainport.cpp',
      '    report(Outcome::NoSerial, SerialScheme::ranOutText(pool, last), 0, 0, 0, SlotPhase::Finished);\n'
      '    end();\n',
      '    sendWaiting(QString(), "the serial numbers have run out");\n',
      'a plain run whose numbers ran out waits for ever, as a station does'),
    F('watch-directory-unheard', 'station/folderwatch.cpp',
      '&QFileSystemWatcher::directoryChanged', '&QFileSystemWatcher::fileChanged',
      'a link that appears or changes in a watched folder is not noticed'),
    F('watch-not-rearmed', 'station/folderwatch.cpp',
      '    if (there && !watching())\n', '    if (there && !watching() && !poll.isActive())\n',
      'a folder made again after it was removed is only polled, never watched again'),
    # --- Images from toolchains: the readers, the memory map, the pin ---
    F('ihex-linear-address-ignored', 'download/intelhex.cpp',
      '        else if (type == LinearAddress)\n            upper = value << LinearShift;\n', '',
      'an extended linear address record (04) ignored: data lands in the first 64 KiB'),
    F('ihex-segment-as-linear', 'download/intelhex.cpp',
      'upper = value << SegmentShift;', 'upper = value << LinearShift;',
      'an extended segment address (02) taken as a linear one'),
    F('ihex-checksum-ones-complement', 'download/intelhex.cpp',
      'lines.checksum(quint8(-lines.sum())', 'lines.checksum(quint8(~lines.sum())',
      'HEX checksums checked by the S-record rule'),
    F('srec-s2-address-width', 'download/srecord.cpp',
      '{2, 2, 3, 4, 0, 2, 3, 4, 3, 2}', '{2, 2, 2, 4, 0, 2, 3, 4, 3, 2}',
      'S2 records read with a 16-bit address'),
    F('srec-count-unchecked', 'download/srecord.cpp',
      'isCount(type) && address != quint64(dataRecords)', 'isCount(type) && false',
      'an S5 count that disagrees with the data records accepted'),
    F('records-end-optional', 'download/recordlines.cpp',
      '    if (endRead)\n        return true;', '    if (true)\n        return true;',
      'a file without its end record (cut short) accepted'),
    F('elf-virtual-address', 'download/elfimage.cpp',
      'map->add(header.p_paddr,', 'map->add(header.p_vaddr,',
      'an ELF segment placed by its virtual address instead of its physical one'),
    F('elf-memory-size', 'download/elfimage.cpp',
      'qint64(header.p_filesz)', 'qint64(header.p_memsz)',
      'an ELF segment read for its memory size, past its file bytes'),
    F('map-fill-ignored', 'download/memorymap.cpp',
      'QByteArray image(int(length), char(spec.fill));',
      'QByteArray image(int(length), char(ImageSpec::ErasedFlash));',
      'the fill byte ignored: gaps always 0xFF'),
    F('map-overlap-overwrites', 'download/memorymap.cpp',
      '            if (mine[i] == theirs[i])\n                continue;\n',
      '            continue;\n',
      'two records that give one address different bytes accepted'),
    F('map-base-lowest-ignored', 'download/memorymap.cpp',
      'spec.base.value_or(lowest)', 'spec.base.value_or(0)',
      'the image starts at address 0, not at the map\'s lowest address'),
    F('map-limit-unchecked', 'download/memorymap.cpp',
      'if (length > quint64(ImageFile::MaxLength)) {', 'if (length > quint64(UINT32_MAX)) {',
      'a sparse map near 4 GiB allocated before it is refused'),
    F('image-bin-parsed', 'download/image.cpp',
      '    if (path.endsWith(".bin", Qt::CaseInsensitive))\n        return ImageFormat::Binary;\n', '',
      'a .bin that happens to look like a HEX file is parsed'),
    F('pin-case-sensitive', 'download/imagespec.cpp',
      'sha256 = text.toLower().toLatin1();', 'sha256 = text.toLatin1();',
      'a pin written in capitals never matches'),
    F('pin-unchecked', 'download/image.cpp',
      'if (image.pinned && image.sha256 != spec.sha256)',
      'if (image.pinned && image.sha256 != spec.sha256 && image.format != ImageFormat::Binary)',
      'the pin checked for memory maps only, not for raw images'),
    F('run-image-spec-ignored', 'station/stationrun.cpp',
      'Image::load(plan.image, plan.settings.imageSpec, error)', 'Image::load(plan.image, {}, error)',
      'a run reads its image without its format, base, fill, size and pin'),
    F('job-image-keys-dropped', 'station/jobfile.cpp',
      'return settings.imageSpec.set(key, key, v, e);', 'return ImageSpec().set(key, key, v, e);',
      'a job\'s image keys checked but not kept'),
    F('summary-offsets-as-addresses', 'station/imagesummary.cpp',
      'MemoryMap::address(image.base + value)', 'MemoryMap::address(value)',
      'the check shows a serial number\'s offset where its address belongs'),

    # --- The station window's pin (stationui/) ---
    F('window-pinned-when-hashed', 'stationui/totalsbar.cpp',
      'return image.pinned ? QStringLiteral("pinned")',
      'return !image.sha256.isEmpty() ? QStringLiteral("pinned")',
      'the totals bar shows "pinned" for any image with a hash, pinned or not'),
    F('window-pin-not-said', 'stationui/totalsbar.cpp',
      'imageSaid = QString("image %1, SHA-256 %2, %3").arg(name, sha, pinWords(shown));',
      'imageSaid = QString("image %1, SHA-256 %2").arg(name, sha);',
      'the pin is shown but missing from the totals\' accessible description'),
    F('window-pin-banner-job-lock-only', 'stationui/stationwindow.cpp',
      'const bool unpinned = isLocked() && !image->pinned;',
      'const bool unpinned = job->locked && !image->pinned;',
      'a station locked by --locked gets no banner for an image the job does not pin'),
    F('window-pin-banner-when-pinned', 'stationui/stationwindow.cpp',
      'const bool unpinned = isLocked() && !image->pinned;',
      'const bool unpinned = isLocked();',
      'a locked job that pins its image is warned that it does not'),
    F('window-image-read-at-start', 'stationui/runcontrol.cpp',
      'StationRun::prepare(plan, home, &prepared.error, image);',
      'StationRun::prepare(plan, home, &prepared.error);',
      'Start reads the image from disk again instead of flashing the one read with the job'),
    # --- The window's line runs: the run's assembly and the window's store paths ---
    F('run-default-store-always', 'station/stationrun.cpp',
      '    if (!plan.db.isEmpty())\n', '    if (false)\n',
      'a run keeps its boards in the default store, not in the one its job names'),
    F('run-session-without-recorder', 'station/stationrun.cpp',
      'runSettings, log.get(), recorderPtr.get());', 'runSettings, log.get(), nullptr);',
      'the session gets no recorder: boards are flashed unnumbered and unrecorded'),
    F('run-went-out-not-noted', 'station/stationrun.cpp',
      '.notesWentOut = true,', '.notesWentOut = false,',
      'a run does not tell the store it notes its numbers going out: a crash voids them all'),
    F('keeper-heals-only-reachable', 'station/storekeeper.cpp',
      'if (status.lost || status.spooled > 0)', 'if (status.spooled > 0 && !status.lost)',
      'a store that comes back is not written to until a board needs it'),
    F('recorder-next-off-by-one', 'records/recorder.cpp',
      'next == Reserved::Ok ? serial->text(value)',
      'next == Reserved::Ok ? serial->text(serial->valueAt(value.index + 1))',
      'the store widget\'s next number is one past the number the next board gets'),
    F('window-banner-empty', 'stationui/stationwindow.cpp',
      'notices->showStart(run.warnings(), run.voided());', 'notices->showStart(run.warnings(), {});',
      'the numbers voided at start are not shown on the banner'),
    F('window-run-other-station', 'stationui/stationwindow.cpp',
      '    plan.operatorLot = operatorLot;\n',
      '    plan.operatorLot = operatorLot;\n    plan.stationId.clear();\n',
      'a window\'s run goes into the store under the host\'s name, not the job\'s station id'),
    F('window-store-not-redrawn', 'stationui/stationwindow.cpp',
      '    showStore();\n    grid->show(state, all);', '    grid->show(state, all);',
      'the store widget keeps what it showed when the job was read'),
    F('window-run-not-finished', 'stationui/runcontrol.cpp',
      'settling.setFuture(QtConcurrent::run([run] { run->finish(); }));',
      'settling.setFuture(QtConcurrent::run([run] { (void)run; }));',
      'a stopped window leaves its run open in the store and its numbers reserved'),
    F('store-view-never-lost-colour', 'stationui/storeview.cpp',
      'paint(status.lost.has_value(), words(url, status, numbered));',
      'paint(false, words(url, status, numbered));',
      'a lost store keeps the store widget\'s colour and icon'),
    F('store-view-never-lost-words', 'stationui/storeview.cpp',
      '    if (status.lost) {\n', '    if (false) {\n',
      'the store widget says reachable while the store is lost'),
    F('tile-serial-hidden', 'stationui/slotlook.cpp',
      '        said << QString("serial %1").arg(slot.serial);\n', '',
      'a tile\'s description leaves out the board\'s serial number'),
    # --- The image kept with the boards (records/imagearchive.cpp, records/report.cpp) ---
    F('archive-fill-dropped', 'records/imagearchive.cpp',
      'query.bindValue(":fill", int(image.fill));',
      'query.bindValue(":fill", int(ImageSpec::ErasedFlash));',
      'the kept image recorded with the erased-flash fill, not its own'),
    F('archive-base-dropped', 'records/imagearchive.cpp',
      'query.bindValue(":base", qint64(image.base));', 'query.bindValue(":base", 0);',
      'the kept image recorded without its base address'),
    F('archive-format-dropped', 'records/imagearchive.cpp',
      'ImageSpec::word(image.format)', 'ImageSpec::word(ImageFormat::Binary)',
      'every kept image recorded as raw binary'),
    F('archive-big-kept', 'records/imagearchive.cpp',
      'tooBig(image.size()) ? QVariant(QVariant::ByteArray)', 'false ? QVariant(QVariant::ByteArray)',
      'an image over 64 MiB kept whole'),
    F('archive-kept-unchecked', 'records/imagearchive.cpp',
      'if (found != entry.sha256) {', 'if (found.isEmpty()) {',
      'kept bytes given back without checking them against their SHA-256'),
    F('archive-not-kept-at-start', 'records/recordstore.cpp',
      '    if (!run.image.bytes.isEmpty() && !ImageArchive::keep(transaction, run.image, error))\n'
      '        return std::nullopt;\n', '',
      'a run starts without keeping its image'),
    F('archive-number-value-wrong', 'records/recordstore.cpp',
      'query.bindValue(":number", QString::number(value->number));',
      'query.bindValue(":number", QString::number(value->index));',
      'a number kept with its place in the sequence instead of its value'),
    F('archive-board-place-wrong', 'records/recordstore.cpp',
      'query.bindValue(":idx", numbered ? QVariant(r.index)',
      'query.bindValue(":idx", numbered ? QVariant(r.board)',
      'a board kept with its board number as its number\'s place'),
    F('archive-serial-fields-dropped', 'records/recorder.cpp',
      'mine.serialFields = compact(object(scheme.fields()));',
      'mine.serialFields = compact(QJsonObject());',
      'a run keeps an empty serial section'),
    F('rebuild-unpatched', 'records/boardbytes.cpp',
      'NumberPools(serial, named).patched(base->bytes, values)', 'base->bytes',
      'a board\'s bytes rebuilt as the base image, its number and CRC not written in'),
    F('rebuild-job-start', 'records/boardbytes.cpp',
      '    given.insert("start", number);\n', '',
      'a board\'s bytes rebuilt with the job\'s first number, not the board\'s'),
    F('rebuild-sha-unchecked', 'records/boardbytes.cpp',
      'if (rebuilt != received) {', 'if (rebuilt.isEmpty()) {',
      'rebuilt bytes written without checking them against what the board received'),
    F('rebuild-used-only', 'records/boardbytes.cpp',
      '"numbers n ON n.pool = b.pool AND n.idx = b.idx WHERE b.serial = :serial OR "',
      '"numbers n ON n.pool = b.pool AND n.idx = b.idx WHERE b.serial_fate = \'used\' AND "',
      'only a board that used its number is rebuilt, not one that voided it'),
    F('run-image-not-given', 'station/stationrun.cpp',
      '.image = runSettings.image};', '.image = {}};',
      'a run never hands its image to the store'),
    F('run-big-image-unwarned', 'station/stationrun.cpp',
      'if (ImageArchive::tooBig(runSettings.image.size()))',
      'if (ImageArchive::tooBig(runSettings.image.size()) && !runPlan.db.isEmpty())',
      'an image too big to keep is warned of only in a store named with --db'),

    # --- The simulated loader's script (testing/simloader/loaderscript.cpp) ---
    F('sim-finished-image-resumed', L,
      'length != m_announced || m_offset >= m_announced',
      'length != m_announced || m_offset > m_announced',
      'a header after a complete image of the same length resumes it instead of starting again'),
    F('sim-last-block-full', L,
      'Protocol::blockLength(m_announced - m_offset)', 'Protocol::MaxBlockLength',
      'the loader waits for a full block at the short end of the image'),
    F('sim-hangup-keeps-image', L,
      '    m_blockFill = 0;\n    m_announced = -1;\n', '    m_blockFill = 0;\n',
      'a hang-up leaves the announced image open, so the next header resumes it'),
    # number pools
    F('pool-crc-before-fields', 'records/numberpools.cpp',
      '        if (scheme.crc32Offset())\n            crc = &scheme;\n',
      '        if (scheme.crc32Offset())\n            bytes = scheme.withCrc(bytes);\n',
      'the CRC is computed where its section comes: a field written after it is not covered'),
    F('pool-end-ignored', 'records/serialscheme.cpp',
      'const quint64 steps = (last.value_or(largest()) - start) / step;',
      'const quint64 steps = (largest() - start) / step;',
      'a pool\'s end is read but the pool runs on to what the field holds'),
    F('pool-wraps-at-end', 'records/nextnumber.cpp',
      'return index < capacity ? index : -1; };',
      'return index % capacity; };',
      'a pool that has run out starts over from its first number'),
    F('pool-fate-by-serial-field', 'records/boardnumbering.cpp',
      ': fateOf(done, acceptedBytes, scheme.offset())};',
      ': fateOf(done, acceptedBytes, recorder->pools().all().first().offset())};',
      'every pool\'s number takes its fate from the first field\'s block, not its own'),
    F('pool-adopt-settled', 'records/boardnumbering.cpp',
      '        held.insert(it.key(), {it.value(), true});\n',
      '        held.insert(it.key(), {it.value(), false});\n',
      'a reflashed board\'s earlier numbers are noted going out, used or voided again'),
    F('pool-adopt-keeps-held', 'records/boardnumbering.cpp',
      '        if (held.contains(it.key()) && !held[it.key()].adopted) {\n',
      '        if (false) {\n',
      'numbers a slot held before a reflash took over are never given back'),
    F('pool-mac-separator-ignored', 'records/numberformat.cpp',
      "        field = macText(number, separator).toLatin1();\n",
      "        field = macText(number, ':').toLatin1();\n",
      'a MAC address is written with colons whatever separator the pool chose'),
    F('pool-le48-big-endian', 'records/numberformat.cpp',
      '{"le48", {Kind::Little, 6}}', '{"le48", {Kind::Big, 6}}',
      'le48 writes the address most significant byte first'),
    F('pool-two-crcs-allowed', 'records/numberpools.cpp',
      '        if (crc) {\n            *error = QString("%1 and %2 both have a CRC',
      '        if (false) {\n            *error = QString("%1 and %2 both have a CRC',
      'two sections each with a CRC: the last one written overwrites what the other covered'),
    F('pool-fields-overlap', 'records/numberpools.cpp',
      '            if (overlap(one.offset(), one.width(), other.offset(), other.width())) {\n',
      '            if (false) {\n',
      'two pools\' fields may overlap: one number overwrites part of another'),
    F('pool-named-key-shared', 'records/serialscheme.cpp',
      'const QString named = poolName == SerialPool ? QString() : QString("pool=%1 ").arg(poolName);',
      'const QString named;',
      'a named pool shares the store\'s pool of any section with the same sequence'),
    F('pool-went-out-unnoted', 'records/boardnumbering.cpp',
      '        if (!it->adopted && !recorder->wentOut(it.key(), it->value, &error))\n',
      '        if (!it->adopted && it.key() == SerialScheme::SerialPool &&\n'
      '            !recorder->wentOut(it.key(), it->value, &error))\n',
      'only [serial]\'s number is noted going out: a crash gives a sent address back'),
    F('pool-report-serial-only', 'records/report.cpp',
      '"bn.number = :any WHERE b.serial = :serial OR bn.number IS NOT NULL ORDER BY "',
      '"bn.number = :any WHERE b.serial = :serial ORDER BY "',
      'report --serial finds a board by its serial number only, not by its other numbers'),
    F('pool-rebuild-serial-only', 'records/boardbytes.cpp',
      '        else\n            named << *scheme;\n', '',
      'a board\'s bytes are rebuilt with its serial number alone'),
    F('pool-log-numbers-missing', 'station/boardlog.cpp',
      '        fields.insert("numbers", numbers);\n', '',
      'the log names no number but the serial'),
    F('pool-adopt-after-board-refused', 'records/boardnumbering.cpp',
      '    held.clear();\n    out = false;\n    return settled;\n',
      '    held.clear();\n    return settled;\n',
      'a slot whose board\'s numbers went out refuses a reflash for its next board'),
    # board labels
    F('scan-not-lowest-slot', 'station/scanrouter.cpp',
      'for (int i = 0; slot == 0 && i < seen.size(); ++i)',
      'for (int i = int(seen.size()) - 1; slot == 0 && i >= 0; --i)',
      'a label goes to the highest-numbered slot waiting, not the lowest'),
    F('scan-code-forgotten', 'station/scanrouter.cpp',
      '        pending = code + 1;\n        return {Route::Kind::Position, pending,',
      '        return {Route::Kind::Position, code + 1,',
      'a position code is acknowledged but the next label does not go to its slot'),
    F('scan-refusal-drops-code', 'station/scanrouter.cpp',
      '    if (!rules.fits(text))\n', '    if (!rules.fits(text) && (pending = 0) == 0)\n',
      'a scan refused as no label forgets the position code scanned before it'),
    F('scan-label-twice', 'station/scanrouter.cpp',
      '        if (seen[i].label == text)\n', '        if (seen[i].label == text && false)\n',
      'a label already on one slot is taken by another'),
    F('scan-in-flight-forgotten', 'station/scanrouter.cpp',
      '    routed.insert(slot, text);\n', '',
      'a label sent to a slot that has not told of it yet leaves the slot open for the next scan'),
    F('scan-pattern-unanchored', 'station/scanrules.cpp',
      'QRegularExpression(QRegularExpression::anchoredPattern(value))',
      'QRegularExpression(value)',
      'a scan that merely contains a label is taken as one'),
    F('scan-optional-takes-none', 'station/scanrouter.cpp',
      'slot.takes = state.phase == SlotPhase::Waiting || state.phase == SlotPhase::Flashing;',
      'slot.takes = state.phase == SlotPhase::Label;',
      'with labels optional, a board under way takes no label'),
    F('scan-required-starts-at-once', 'station/slotloop.cpp',
      'if (settings.scan.mode != ScanRules::Mode::Required || !label.isEmpty())',
      'if (settings.scan.mode != ScanRules::Mode::Optional || !label.isEmpty())',
      'with labels required a board starts before its label is in'),
    F('scan-reflash-optional', 'station/scanrules.cpp',
      'if (reflash && mode != Mode::Required)', 'if (reflash && mode == Mode::Off)',
      'reflash allowed where a board may start before its label, too late to keep its numbers'),
    F('scan-tile-no-request', 'station/slotcondition.cpp',
      'return {K::ScanLabel, ScanText, {}, false};',
      'return {K::NoBoard, QStringLiteral("waiting for a board"), {}, false};',
      'a slot waiting for its label says it waits for a board'),
    F('scan-field-no-focus', 'stationui/scanfield.cpp',
      '    if (session)\n        edit->setFocus();\n', '',
      'the scan field does not take the keyboard when the run starts'),
    F('scan-refusal-silent', 'stationui/scanfield.cpp',
      'message->setText(route.message);', 'message->setText(refusedScan ? QString() : route.message);',
      'a refused scan says nothing beside the field'),
    F('scan-fifo-named-slot', 'cli/scanreader.cpp',
      'return {match.captured(1).toInt(), match.captured(2).trimmed()};', 'return {0, line};',
      'a "SLOT CODE" line is taken whole as a label'),
    F('scan-fifo-blocks', 'cli/scanreader.cpp',
      '(fifo ? O_RDWR | O_NONBLOCK : O_RDONLY)', 'O_RDONLY',
      'opening a FIFO waits for its writer before the station starts'),
    F('label-not-logged', 'station/boardlog.cpp',
      'fields.insert("board_label", orNull(outcome.label));',
      'fields.insert("board_label", QJsonValue());',
      'the log\'s board line never names the board\'s label'),
    F('label-not-stored', 'records/recordstore.cpp',
      'query.bindValue(":label", orNull(r.label));', 'query.bindValue(":label", orNull(QString()));',
      'the store\'s board line never keeps the board\'s label'),
    F('label-any-result-seen', 'records/earlierboard.cpp',
      "b.label = :label AND b.result = 'done'", 'b.label = :label',
      'a label whose board only failed is refused as flashed before'),
    F('label-first-board', 'records/earlierboard.cpp',
      'ORDER BY b.time DESC, b.id DESC LIMIT 1', 'ORDER BY b.time, b.id LIMIT 1',
      'a label flashed twice finds its first board, not its last'),
    F('label-refusal-no-station', 'records/earlierboard.cpp',
      'was flashed as board %2 at %3 on station %4; remove it', 'was flashed as board %2 at %3; remove it%4',
      'the refusal does not say which station flashed the label'),
    F('reflash-new-number', 'station/slotloop.cpp',
      '    if (reflash)\n        numbering.adopt(earlier->numbers);\n', '',
      'a reflashed board gets a new serial number instead of its own'),
    F('reflash-settles', 'records/boardnumbering.cpp',
      '                                       number.adopted\n',
      '                                       false\n',
      'a reflash\'s result uses or voids the number it kept'),
    F('reflash-reserves-again', 'records/boardnumbering.cpp',
      '        if (held.contains(scheme.name()))\n            continue;\n',
      '        if (held.contains(scheme.name()) && !held[scheme.name()].adopted)\n            continue;\n',
      'a reflashed board\'s next attempt reserves a new number over the kept one'),
    F('reflash-number-unrecorded', 'records/recordstore.cpp',
      'const bool numbered = r.fate != BoardRecord::Fate::None;',
      'const bool numbered = r.fate != BoardRecord::Fate::None && !r.reflash;',
      'a reflash\'s board line does not keep which number it had'),
    F('reflash-mac-forgotten', 'records/earlierboard.cpp',
      '            (*found)->numbers.insert(it.key(), it.value());\n',
      '            if (it.key() == QLatin1String("serial"))\n'
      '                (*found)->numbers.insert(it.key(), it.value());\n',
      'a reflashed board keeps its serial number but is given a new MAC address'),

    # operator and lot
    F('lot-ask-is-a-value', 'station/operatorlot.cpp',
      '        set.asked = true;\n        return true;\n',
      '        set.value = text;\n        return true;\n',
      'a job\'s "ask" is recorded as the operator\'s or the lot\'s value instead of asking'),
    F('lot-unanswered-runs', O,
      '!open.isEmpty() && !check) {', '!open.isEmpty() && check) {',
      'a job that asks runs from the command line without the answer'),
    F('lot-option-fills-only', 'station/operatorlot.cpp',
      '    entry(field).value = text.trimmed();\n',
      '    if (entry(field).value.isEmpty())\n        entry(field).value = text.trimmed();\n',
      '--operator and --lot fill an ask but never override the job\'s value'),
    F('lot-ask-answers-ask', 'station/operatorlot.cpp',
      '    if (text == AskWord) {\n        *error', '    if (text == AskWord && !asks(field)) {\n        *error',
      '"ask" taken as the answer to a job that asks'),
    F('lot-control-characters', 'station/operatorlot.cpp',
      'c.category() == QChar::Other_Control', "c == QLatin1Char('\\n')",
      'a tab or another control character in a scan goes into the record'),
    F('lot-length-unchecked', 'station/operatorlot.cpp',
      'if (text.size() > MaxLength) {', 'if (text.size() > 10 * MaxLength) {',
      'an operator or lot far longer than the limit is taken'),
    F('lot-answer-untrimmed', 'station/operatorlot.cpp',
      '    entry(field).value = text.trimmed();\n', '    entry(field).value = text;\n',
      'an answer keeps the spaces a scanner or a shell left around it'),
    F('lot-job-keys-checked-not-kept', 'station/jobfile.cpp',
      'return job->operatorLot.setFromJob(field, v, e);',
      'return OperatorLot::check(OperatorLot::key(field), v, e);',
      'the job\'s operator and lot are checked but never kept'),
    F('lot-plan-without-answers', O,
      '    plan.operatorLot = operatorLot;\n', '',
      'the command line\'s run records none of the operator and lot it was given'),
    F('lot-log-swapped', 'station/stationrun.cpp',
      'setOperatorLot(plan.operatorLot.value(OperatorLot::Field::Operator),\n'
      '                                 plan.operatorLot.value(OperatorLot::Field::Lot));',
      'setOperatorLot(plan.operatorLot.value(OperatorLot::Field::Lot),\n'
      '                                 plan.operatorLot.value(OperatorLot::Field::Operator));',
      'the log writes the lot as the operator and the operator as the lot'),
    F('lot-log-station-lines', 'station/boardlog.cpp',
      '    fields.insert("lot", lot.isEmpty() ? QJsonValue() : QJsonValue(lot));\n',
      '    if (fields.value("event") == "board")\n'
      '        fields.insert("lot", lot.isEmpty() ? QJsonValue() : QJsonValue(lot));\n',
      'only a board\'s line carries the lot, not the station\'s start and stop'),
    F('lot-store-operator-as-lot', 'records/recordstore.cpp',
      'query.bindValue(":lot", orNull(run.lot));', 'query.bindValue(":lot", orNull(run.operatorName));',
      'the store keeps the operator\'s name as the run\'s lot'),
    F('lot-report-stopped-counted', 'records/lotreport.cpp',
      '"FROM boards b JOIN runs r ON r.id = b.run WHERE b.result <> \'stopped\' "\n'
      '                          "AND b.time',
      '"FROM boards b JOIN runs r ON r.id = b.run WHERE 1 = 1 "\n'
      '                          "AND b.time',
      'a board a stop ended counts in its lot'),
    F('lot-report-first-pass-any', 'records/lotreport.cpp',
      "b.result = 'done' AND b.attempts <= 1", "b.result = 'done' AND b.attempts >= 1",
      'a lot\'s first-pass yield counts a board done at any attempt'),
    F('lot-report-voided-numbers', 'records/lotreport.cpp',
      "\" AND b.serial_fate = 'used' ORDER BY", "\" AND b.serial IS NOT NULL ORDER BY",
      'a lot lists the numbers its failed boards voided among those used'),
    F('lot-report-one-lot-all', 'records/lotreport.cpp',
      '    return read(name, from, to, error);', '    return read(std::nullopt, from, to, error);',
      'report --lot gives every lot'),
    F('lot-ranges-across-pools', 'records/lotreport.cpp',
      'used[end + 1].pool == used[i].pool && ', '',
      'numbers of two pools next to each other in place shown as one range'),
    F('lot-report-unknown-exit-0', 'cli/reportcommand.cpp',
      'return only && found->isEmpty() ? UnknownStatus : 0;', 'return 0;',
      'report --lot of a lot the store has never seen exits 0'),
    F('dialog-enter-starts', 'stationui/startdialog.cpp',
      '    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)\n        return;\n',
      '',
      'Enter after the first scan presses Start, the button box\'s default'),
    F('dialog-cancel-starts', 'stationui/startdialog.cpp',
      'connect(dialog, &QDialog::accepted, parent,', 'connect(dialog, &QDialog::finished, parent,',
      'Cancel in the Start dialog starts the run'),
    F('dialog-empty-moves-on', 'stationui/startdialog.cpp',
      '    if (!take(index))\n        return;\n    if (index + 1 < fields.size()) {',
      '    if (index + 1 < fields.size()) {',
      'Enter in an empty field moves on, so an empty scan goes unnoticed until Start'),
    F('window-answers-dropped', 'stationui/stationwindow.cpp',
      '    plan.operatorLot = operatorLot;\n', '',
      'the window\'s run records the job\'s values, not what the Start dialog was answered'),
]


# --------------------------------------------------------------------------------------------
# Keeping the tree clean

PENDING = 'seed-faults-pending.json'  # in the build directory while a fault is in the tree


class Applied:
    """The one fault currently in the tree, with the file's original bytes."""

    def __init__(self, build_dir):
        self.marker = build_dir / PENDING
        self.path = None
        self.original = None

    def apply(self, fault, content):
        self.path = ROOT / fault.path
        self.original = content
        # Written first, so that even a killed run can be undone by the next one.
        self.marker.write_text(json.dumps({'path': fault.path, 'original': content.decode('utf-8')}))
        self.path.write_bytes(content.replace(fault.old.encode(), fault.new.encode(), 1))

    def restore(self):
        if self.path is None:
            return
        self.path.write_bytes(self.original)
        self.path = None
        self.original = None
        self.marker.unlink(missing_ok=True)

    def recover(self):
        """Undoes a fault left behind by a run that was killed."""
        if not self.marker.exists():
            return
        pending = json.loads(self.marker.read_text())
        (ROOT / pending['path']).write_bytes(pending['original'].encode('utf-8'))
        self.marker.unlink()
        print(f'restored {pending["path"]} left modified by an interrupted run', flush=True)


def relative(text):
    """Paths in results are the repository's own, without the machine's checkout location."""
    return text.replace(str(ROOT) + os.sep, '')


def on_sigterm(signum, frame):
    raise KeyboardInterrupt


# --------------------------------------------------------------------------------------------
# Building and testing


def configure(build_dir):
    # Always: the tree's list of tests may have changed since the directory was made.
    subprocess.run(['cmake', '-S', str(ROOT), '-B', str(build_dir),
                    '-DCMAKE_BUILD_TYPE=RelWithDebInfo'], check=True, stdout=subprocess.DEVNULL)


def program(command, build_dir):
    """The test's own program in its command, which may start with a wrapper (flock); None for
    a test run by a script of the source tree."""
    for part in command:
        path = Path(part)
        if path.is_absolute() and path.resolve().is_relative_to(build_dir.resolve()):
            return path
    return None


def list_tests(build_dir):
    """The suite as ctest knows it: name, command, working directory and environment."""
    out = subprocess.run(['ctest', '--test-dir', str(build_dir), '--show-only=json-v1'],
                         check=True, capture_output=True, text=True).stdout
    tests = []
    for t in json.loads(out)['tests']:
        env = {}
        cwd = None
        fixture = None
        for prop in t.get('properties', []):
            if prop['name'] == 'ENVIRONMENT':
                for item in prop['value']:
                    key, _, value = item.partition('=')
                    env[key] = value
            elif prop['name'] == 'WORKING_DIRECTORY':
                cwd = prop['value']
            elif prop['name'] in ('FIXTURES_SETUP', 'FIXTURES_CLEANUP'):
                fixture = prop['name']
        command = t['command']
        own = program(command, build_dir)
        tests.append({'name': t['name'], 'command': command,
                      'cwd': cwd or str((own or Path(command[0])).parent), 'env': env,
                      'fixture': fixture, 'program': own})
    return tests


def order_tests(tests, build_dir):
    """Fastest first, by the durations of the last clean run, else by ctest's cost data."""
    times = {}
    timing_file = build_dir / 'seed-faults-times.json'
    cost_file = build_dir / 'Testing' / 'Temporary' / 'CTestCostData.txt'
    if timing_file.exists():
        times = json.loads(timing_file.read_text())
    elif cost_file.exists():
        for line in cost_file.read_text().splitlines():
            parts = line.split()
            if len(parts) == 3:
                times[parts[0]] = float(parts[2])
    # A fixture's setup (the PostgreSQL server) comes before every test, its cleanup after.
    rank = {'FIXTURES_SETUP': 0, None: 1, 'FIXTURES_CLEANUP': 2}
    return sorted(tests, key=lambda t: (rank[t.get('fixture')], times.get(t['name'], 1e9)))


def build(build_dir, tests, jobs, log):
    targets = []
    for t in tests:
        # Tests run by a script (the completion's) have no program of their own to build.
        if t['program']:
            targets += ['--target', t['program'].name]
    with open(log, 'w') as out:
        result = subprocess.run(['cmake', '--build', str(build_dir), '--parallel', str(jobs)] +
                                targets, stdout=out, stderr=subprocess.STDOUT)
    return result.returncode == 0


def kill_group(proc):
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    proc.wait()


def run_test(test, log):
    """Runs one test program until it ends or reports its first failure.

    Returns (passed, detail). The program is stopped at its first FAIL! line: that is enough to
    know the fault was caught, and it spares waiting for every remaining data row.
    """
    env = dict(os.environ)
    env['QT_QPA_PLATFORM'] = 'offscreen'
    env.update(test['env'])
    lines = queue.Queue()
    with open(log, 'w') as out:
        proc = subprocess.Popen(test['command'], cwd=test['cwd'], env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                start_new_session=True, text=True, errors='replace')

        def reader():
            for line in proc.stdout:
                lines.put(line)
            lines.put(None)

        threading.Thread(target=reader, daemon=True).start()
        deadline = time.monotonic() + TEST_TIMEOUT_S
        try:
            while True:
                try:
                    line = lines.get(timeout=max(0.0, deadline - time.monotonic()))
                except queue.Empty:
                    kill_group(proc)
                    return False, f'timed out after {TEST_TIMEOUT_S} s'
                if line is None:
                    break
                out.write(line)
                if line.startswith('FAIL!'):
                    return False, failure(line, lines, out, proc)
            code = proc.wait()
            if code != 0:
                return False, f'exit status {code}'
            return True, ''
        finally:
            if proc.poll() is None:
                kill_group(proc)


def failure(first, lines, out, proc):
    """The first failure's message: its FAIL! line and what follows up to the location."""
    detail = [first.strip()]
    deadline = time.monotonic() + 2
    while len(detail) < 6 and not detail[-1].startswith('Loc:'):
        try:
            line = lines.get(timeout=max(0.0, deadline - time.monotonic()))
        except queue.Empty:
            break
        if line is None:
            break
        out.write(line)
        detail.append(line.strip())
    out.flush()
    kill_group(proc)
    return relative(' | '.join(detail))


def run_suite(tests, log_dir, stem):
    """Runs the tests in order, stopping at the first failure: (failed test or None, detail,
    durations)."""
    durations = {}
    for t in tests:
        start = time.monotonic()
        passed, detail = run_test(t, log_dir / f'{stem}.{t["name"]}.log')
        durations[t['name']] = time.monotonic() - start
        if not passed:
            # The fixtures' cleanup still runs: a server left running would outlive the script.
            for c in tests:
                if c.get('fixture') == 'FIXTURES_CLEANUP' and c is not t:
                    run_test(c, log_dir / f'{stem}.{c["name"]}.log')
            return t['name'], detail, durations
    return None, '', durations


# --------------------------------------------------------------------------------------------
# Commands


def applies(fault):
    path = ROOT / fault.path
    if not path.exists():
        return False
    return path.read_bytes().count(fault.old.encode()) == 1


def select(only):
    if not only:
        return FAULTS
    names = [n for n in only.split(',') if n]
    known = {f.name: f for f in FAULTS}
    unknown = [n for n in names if n not in known]
    if unknown:
        sys.exit(f'unknown fault: {", ".join(unknown)} (see --list)')
    return [known[n] for n in names]


def cmd_list(faults):
    for f in faults:
        state = '' if applies(f) else '  [does not apply]'
        print(f'{f.name:40} {f.path:30} {f.description}{state}')
    print(f'{len(faults)} faults')


def load(path):
    return json.loads(Path(path).read_text())


def caught(entry):
    return entry is not None and entry.get('status') == 'caught'


def cmd_compare(old_path, new_path):
    old, new = load(old_path), load(new_path)
    lost = [n for n in old if caught(old[n]) and not caught(new.get(n))]
    gained = [n for n in new if caught(new[n]) and not caught(old.get(n))]
    print(f'{old_path}: {sum(caught(e) for e in old.values())} of {len(old)} faults caught')
    print(f'{new_path}: {sum(caught(e) for e in new.values())} of {len(new)} faults caught')
    if lost:
        print(f'\ncaught in {old_path} but not in {new_path}:')
        for n in lost:
            status = new[n]['status'] if n in new else 'not run'
            print(f'  {n:40} {status:15} (was caught by {old[n].get("test")})')
    else:
        print(f'\nevery fault caught in {old_path} is caught in {new_path}')
    if gained:
        print(f'\ncaught only in {new_path}: {", ".join(gained)}')
    return 1 if lost else 0


def write_results(out, results, merge):
    if out is None:
        return
    data = load(out) if merge and Path(out).exists() else {}
    data.update(results)
    # In the order of the list, so that two result files compare line by line; faults no longer
    # in the list go.
    order = {f.name: i for i, f in enumerate(FAULTS)}
    data = dict(sorted(((k, v) for k, v in data.items() if k in order),
                       key=lambda kv: order[kv[0]]))
    Path(out).write_text(json.dumps(data, indent=2, ensure_ascii=False) + '\n')


def cmd_run(args, faults):
    build_dir = (ROOT / args.build_dir).resolve()
    log_dir = build_dir / 'seed-faults-logs'
    applied = Applied(build_dir)
    configure(build_dir)
    log_dir.mkdir(parents=True, exist_ok=True)
    applied.recover()
    # ctest names a test's program only once it has been built.
    subprocess.run(['cmake', '--build', str(build_dir), '--parallel', str(args.jobs)], check=True,
                   stdout=subprocess.DEVNULL)

    tests = list_tests(build_dir)
    if not tests:
        sys.exit('ctest lists no tests')
    if args.recheck:
        print('recheck: building and running the unmodified suite', flush=True)
        if not build(build_dir, tests, args.jobs, log_dir / 'baseline.build.log'):
            sys.exit(f'recheck: the unmodified tree does not build, see {log_dir}/baseline.build.log')
        failed, detail, durations = run_suite(tests, log_dir, 'baseline')
        if failed:
            sys.exit(f'recheck: the unmodified suite fails in {failed}: {detail}; '
                     'fault results would mean nothing')
        (build_dir / 'seed-faults-times.json').write_text(json.dumps(durations, indent=2))
        print('recheck: suite passes (' +
              ', '.join(f'{n} {s:.0f} s' for n, s in durations.items()) + ')', flush=True)
    tests = order_tests(tests, build_dir)

    results = {}
    counts = {}
    for i, f in enumerate(faults, 1):
        start = time.monotonic()
        entry = {'status': None, 'test': None, 'detail': '', 'file': f.path,
                 'description': f.description}
        content = (ROOT / f.path).read_bytes() if (ROOT / f.path).exists() else b''
        occurrences = content.count(f.old.encode())
        if occurrences != 1:
            entry['status'] = 'does not apply'
            entry['detail'] = f'old text found {occurrences} times'
        else:
            try:
                applied.apply(f, content)
                if not build(build_dir, tests, args.jobs, log_dir / f'{f.name}.build.log'):
                    entry['status'] = 'does not build'
                    entry['detail'] = relative(f'see {log_dir / (f.name + ".build.log")}')
                else:
                    failed, detail, _ = run_suite(tests, log_dir, f.name)
                    entry['status'] = 'caught' if failed else 'missed'
                    entry['test'] = failed
                    entry['detail'] = detail
            finally:
                applied.restore()
        results[f.name] = entry
        counts[entry['status']] = counts.get(entry['status'], 0) + 1
        by = f' by {entry["test"]}' if entry['test'] else ''
        print(f'[{i}/{len(faults)}] {f.name}: {entry["status"]}{by} '
              f'({time.monotonic() - start:.0f} s) {entry["detail"]}', flush=True)
        write_results(args.out, results, merge=bool(args.only))

    print('; '.join(f'{k}: {v}' for k, v in sorted(counts.items())), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--only', metavar='NAME[,NAME]', help='run only these faults')
    parser.add_argument('--list', action='store_true', help='list the faults and whether they apply')
    parser.add_argument('--out', metavar='FILE',
                        help='write results as JSON (with --only, update the entries in FILE)')
    parser.add_argument('--compare', nargs=2, metavar=('OLD.json', 'NEW.json'),
                        help='print the faults caught in OLD but not in NEW')
    parser.add_argument('--recheck', action='store_true',
                        help='first run the unmodified suite and stop unless it passes')
    parser.add_argument('--build-dir', default='build-faults', help='default: build-faults')
    parser.add_argument('--jobs', type=int, default=2, help='build jobs (default 2)')
    args = parser.parse_args()

    if args.compare:
        return cmd_compare(*args.compare)
    faults = select(args.only)
    if args.list:
        cmd_list(faults)
        return 0
    signal.signal(signal.SIGTERM, on_sigterm)
    signal.signal(signal.SIGHUP, on_sigterm)
    try:
        cmd_run(args, faults)
    except KeyboardInterrupt:
        print('interrupted; the tree is restored', file=sys.stderr)
        return 130
    return 0


if __name__ == '__main__':
    sys.exit(main())
