# A client of the remote export on another ORB (Combat, in Tcl):
#   tclsh remote_client.tcl HOST:PORT
# Prints the children of the root, the value of "custom", the values of a
# one-shot read of "signals.adc" (mode 10, 2 atoms at time 7, offset 3, the
# server's longest wait) with its metadata, and the message of a refused read.
package require combat
source [file join [file dirname [info script]] zemtra_remote_ir.tcl]

set registry [corba::string_to_object corbaloc::[lindex $argv 0]/ZemtraRemote]
$registry _is_a IDL:zemtra_REMOTE/Registry:1.0

set names {}
foreach info [$registry List ""] {
    array set node $info
    lappend names $node(name)
}
puts "children: $names"
puts "custom: [$registry GetText custom 0 0]"
array set data [$registry ReadSignal signals.adc 10 2 3 7 0]
puts "atoms: $data(atoms) short_values: $data(short_values) meta: $data(meta)"
if {[catch {$registry ReadSignal signals.adc 13 1 0 0 0} failure]} {
    array set error [lindex $failure 1]
    puts "refused: $error(message)"
}
