#pragma once
// `velmo history ID`: the headless twin of the messages page's list: one line per shown entry
// of the account's history, newest first.

class CCommandTable;

// Also registers the history conversion as a start-up step of "/convert".
void AddHistoryCommand(CCommandTable& table);
