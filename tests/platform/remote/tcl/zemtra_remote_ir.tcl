# Type descriptions of the remote interface for the Combat ORB (the part the
# client script calls), as its IDL compiler writes them: module q_NET, then
# zemtra_REMOTE with its Registry interface.
package require combat

combat::ir add {
{module {IDL:q_NET:1.0 q_NET 1.0} {
  {typedef {IDL:q_NET/ShortSeq:1.0 ShortSeq 1.0} {sequence short}}
  {typedef {IDL:q_NET/LongSeq:1.0 LongSeq 1.0} {sequence long}}
  {typedef {IDL:q_NET/DoubleSeq:1.0 DoubleSeq 1.0} {sequence double}}
  {typedef {IDL:q_NET/ULongLongSeq:1.0 ULongLongSeq 1.0} {sequence {unsigned long long}}}
  {struct {IDL:q_NET/MetaEntry:1.0 MetaEntry 1.0} {{id long} {value {long long}}} {}}
  {typedef {IDL:q_NET/MetaSeq:1.0 MetaSeq 1.0} {sequence IDL:q_NET/MetaEntry:1.0}}
}}
{module {IDL:zemtra_REMOTE:1.0 zemtra_REMOTE 1.0} {
  {typedef {IDL:zemtra_REMOTE/StringSeq:1.0 StringSeq 1.0} {sequence string}}
  {exception {IDL:zemtra_REMOTE/RemoteError:1.0 RemoteError 1.0} {{message string}} {}}
  {struct {IDL:zemtra_REMOTE/NodeInfo:1.0 NodeInfo 1.0} {{name string} {kind string} {value_type long}
    {size {unsigned long}} {flags {unsigned long long}} {domain_values IDL:zemtra_REMOTE/StringSeq:1.0}
    {validator string}} {}}
  {typedef {IDL:zemtra_REMOTE/NodeInfoSeq:1.0 NodeInfoSeq 1.0} {sequence IDL:zemtra_REMOTE/NodeInfo:1.0}}
  {struct {IDL:zemtra_REMOTE/SignalData:1.0 SignalData 1.0} {{atoms {unsigned long}}
    {short_values IDL:q_NET/ShortSeq:1.0} {long_values IDL:q_NET/LongSeq:1.0}
    {double_values IDL:q_NET/DoubleSeq:1.0} {ulonglong_values IDL:q_NET/ULongLongSeq:1.0}
    {meta IDL:q_NET/MetaSeq:1.0}} {}}
  {interface {IDL:zemtra_REMOTE/Registry:1.0 Registry 1.0} {} {
    {operation {IDL:zemtra_REMOTE/Registry/List:1.0 List 1.0} IDL:zemtra_REMOTE/NodeInfoSeq:1.0
      {{in path string}} IDL:zemtra_REMOTE/RemoteError:1.0}
    {operation {IDL:zemtra_REMOTE/Registry/GetText:1.0 GetText 1.0} IDL:zemtra_REMOTE/StringSeq:1.0
      {{in path string} {in position {unsigned long}} {in count {unsigned long}}} IDL:zemtra_REMOTE/RemoteError:1.0}
    {operation {IDL:zemtra_REMOTE/Registry/ReadSignal:1.0 ReadSignal 1.0} IDL:zemtra_REMOTE/SignalData:1.0
      {{in path string} {in mode long} {in count {unsigned long}} {in offset {long long}}
       {in time {unsigned long long}} {in wait_ms {unsigned long}}} IDL:zemtra_REMOTE/RemoteError:1.0}
  }}
}}
}
