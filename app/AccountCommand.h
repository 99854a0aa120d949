#pragma once
// `velmo account new|register|update|list`, `velmo contacts add|remove|to-black` and
// `velmo blacklist add|remove|to-white`: the headless twins of the accounts page's commands,
// running the same saves and workers. Registering them also registers the accounts'
// "/convert" step for the gateway's start-up.

class CCommandTable;

void AddAccountCommands(CCommandTable& table);
