qdorepl ; The replication state of the session's namespace, for clients to read:
 ;   $$role^qdorepl()    "primary", "secondary", or "" when the namespace is not replicated
 ;   $$status^qdorepl()  fields joined by ";", each NAME=VALUE:
 ;     a primary:    role=primary;instance=A;seqno=N;backlog=B;secondaries=B1,B2
 ;                   seqno the last transaction committed; backlog the most that any secondary
 ;                   has not been sent yet
 ;     a secondary:  role=secondary;instance=B;primary=A;received=N;applied=M
 ;                   the last transaction received from the primary, and the last applied
 ;     role=unavailable when GT.M's replication state cannot be read (its servers not running)
 ; Read from GT.M's shared memory ($ZPEEK, through ^%PEEKBYNAME), as the instance stands now.
 quit
 ;
role() ; the role alone
 new %qdost
 set %qdost=$$status
 quit $select(%qdost="":"",%qdost["role=primary":"primary",%qdost["role=secondary":"secondary",1:"")
 ;
status() ; the whole state
 new $etrap,%qdojs,%qdonm,%qdoi,%qdord,%qdobl,%qdosc
 if $ztrnlnm("gtm_repl_instance")="" quit ""
 set $etrap="set $ecode="""" zgoto "_$zlevel_":unavail^qdorepl"
 if $$peek("jnlpool_ctl_struct.upd_disabled") quit $$second
 set %qdojs=$$seqno("jnlpool_ctl_struct.jnl_seqno"),%qdobl=0,%qdosc=""
 for %qdoi=0:1:15 do
 . set %qdonm=$$name($$peek("gtmsource_local_struct.secondary_instname",%qdoi))
 . quit:%qdonm=""  quit:%qdonm="passive"
 . set %qdord=$$seqno("gtmsource_local_struct.read_jnl_seqno",%qdoi)
 . set:%qdojs-%qdord>%qdobl %qdobl=%qdojs-%qdord
 . set %qdosc=%qdosc_$select(%qdosc="":"",1:",")_%qdonm
 quit "role=primary;instance="_$$self_";seqno="_(%qdojs-1)_";backlog="_%qdobl_";secondaries="_%qdosc
 ;
second() ; the state of a secondary
 new %qdopr
 set %qdopr=$$name($$peek("jnlpool_ctl_struct.primary_instname"))
 set:%qdopr="" %qdopr=$$name($$peek("recvpool_ctl_struct.last_valid_histinfo.root_primary_instname"))
 quit "role=secondary;instance="_$$self_";primary="_%qdopr_";received="_($$seqno("recvpool_ctl_struct.jnl_seqno")-1)_";applied="_($$seqno("upd_proc_local_struct.read_jnl_seqno")-1)
 ;
unavail() quit "role=unavailable"
 ;
nowrite() ; what GT.M's refusal of an update on a secondary (SCNDDBNOUPD) goes on to say
 new $etrap,%qdost
 set $etrap="set $ecode="""" zgoto "_$zlevel_":nowrite1^qdorepl"
 set %qdost=$$status
 quit "; this server is a read-only secondary of instance "_$piece($piece(%qdost,"primary=",2),";")_": send writes to the primary"
nowrite1 quit "; this server is a read-only secondary: send writes to the primary"
 ;
self() quit $$name($$peek("repl_inst_hdr.inst_info.this_instname"))
 ;
peek(%qdofl,%qdoix) ; a field of GT.M's replication structures
 quit:$data(%qdoix) $$^%PEEKBYNAME(%qdofl,%qdoix)
 quit $$^%PEEKBYNAME(%qdofl)
 ;
seqno(%qdofl,%qdoix) ; a sequence number field, which ^%PEEKBYNAME gives as 0x and hex digits
 new %qdohx
 set %qdohx=$select($data(%qdoix):$$peek(%qdofl,%qdoix),1:$$peek(%qdofl))
 quit $$FUNC^%HD($extract(%qdohx,3,$length(%qdohx)))
 ;
name(%qdotx) ; an instance name as GT.M keeps it, without the padding
 quit $translate(%qdotx,$char(0)_" ")
