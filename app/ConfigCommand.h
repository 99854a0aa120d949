#pragma once
// `velmo config get [KEY]` and `velmo config set KEY VALUE`: the configuration values,
// read and saved exactly as the settings page reads and applies them.

class CCommandTable;

void AddConfigCommand(CCommandTable& table);
