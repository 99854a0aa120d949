#pragma once
// Running the gateway itself: `velmo [--home DIR] [--headless] [/firststart] [/convert]`.

struct CCommandLine;

int RunGateway(const CCommandLine& line);
