#pragma once

struct CliRequest;

/// `quillan-cli ports`: lists the serial ports, or assigns / clears a COM
/// port's device. The exit status.
int runPortsCommand(const CliRequest &request);
