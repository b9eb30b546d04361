#pragma once

#include "Model/AIRecords.h"

#include <QString>

#include <string>

namespace korvalen {

// One result as the results view shows it, and the result number format shared with the export
// and the assistant.
class ResultCard {
public:
    // A non-finite value gives "0"; a magnitude of at least 100 prints with no decimals, at least
    // 10 with two, otherwise with four; always with a full stop, whatever the locale.
    static std::string metric(double value);

    struct Row {
        QString workload;       // catalog title
        QString category;       // category raw value
        QString backend;        // backend raw value, with the GPU's name when it ran on one
        QString backendDetail;  // the same with the device's full name, for the tool tip
        QString score;          // "%.0f"
        QString throughput;     // metric and unit; "—" for an invalid result, as are the latencies
        QString medianLatency;
        QString p99Latency;         // "—" when the result has none
        QString validity;           // "Valid" or "Invalid"
        QString certification;      // "Certified", "Diagnostic" (valid, not certified) or "Not valid"
        QString certificationMark;  // ✓, ◐ or ✗
        QString notes;              // the error, else the certification notes
        bool valid = false;
        bool certified = false;
    };
    static Row row(const AIBenchmarkResult& result);
};

}  // namespace korvalen
