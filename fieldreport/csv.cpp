// The report's records as CSV.
#include "outputs.h"

namespace fieldreport {

const char kCsvHeader[] =
    "file,record,started,computer_id,type,direction,signal,device,phone_model,phone_tech,network_info,turbo,"
    "script_completed,script,master_chars,coverage,pcer,ccer,tcer,cer,pcer_total,pcer_correct,pcer_added,"
    "pcer_missed,pcer_changed,ccer_total,ccer_correct,ccer_added,ccer_missed,ccer_changed,tcer_total,tcer_"
    "correct,"
    "tcer_added,tcer_missed,tcer_changed,cer_errors,cer_length,verdict";

namespace {

std::string field(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

}  // namespace

std::string csvText(const Report& report) {
  std::string out = std::string(kCsvHeader) + "\r\n";
  for (const ScoredRecord& r : report.records) {
    const Figures& f = r.figures;
    auto value = [&](const char* key) {
      const std::string* v = r.record.value(key);
      return v ? fieldtext::cp1252ToUtf8(*v) : std::string();
    };
    std::vector<std::string> row = {r.file,
                                    std::to_string(r.record.number),
                                    fieldtext::cp1252ToUtf8(r.record.started),
                                    value("COMPUTERID"),
                                    value("TYPE"),
                                    value("DIRECTION"),
                                    value("SIGNAL"),
                                    value("DEVICE"),
                                    value("PHONEMODEL"),
                                    value("PHONETECH"),
                                    value("NETWORKINFO"),
                                    value("TURBOCODEDETECTED"),
                                    value("SCRIPTCOMPLETED"),
                                    r.script ? r.script->path : "",
                                    std::to_string(f.masterChars),
                                    twoDecimals(f.coverage),
                                    twoDecimals(f.pcerRate),
                                    twoDecimals(f.ccerRate),
                                    twoDecimals(f.tcerRate),
                                    twoDecimals(f.cerRate)};
    for (const Counts* c : {&f.pcer, &f.ccer, &f.tcer})
      for (int n : {c->total, c->correct, c->added, c->missed, c->changed}) row.push_back(std::to_string(n));
    row.push_back(std::to_string(f.cerErrors));
    row.push_back(std::to_string(f.cerLength));
    row.push_back(verdictName(r.verdict));
    for (std::size_t i = 0; i < row.size(); ++i) out += (i ? "," : "") + field(row[i]);
    out += "\r\n";
  }
  return out;
}

}  // namespace fieldreport
