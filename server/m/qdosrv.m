qdosrv ; Entry points through which the qdo server's jobs run their clients' requests.
 ; Every entry traps any M error, rolls back an open transaction, and returns 1 with the
 ; error's $ECODE and $ZSTATUS in %qdoer (joined by a NUL byte); it returns 0 on success. A
 ; call that returns neither had its entry left early by the client's code (a ZGOTO, a QUIT in
 ; a trap of its own): the engine answers it with an error of its own.
 ; Formal parameters carry a %qdo prefix so that they do not hide the client's own locals.
 quit
 ;
trap(%qdozl) ; the error trap of an entry called at level %qdozl
 ; After STPCRIT (the string pool past its limit) GT.M ends the process at the pool's next growth
 ; unless $ZSTRPLLIM is set again: set so, the next growth raises STPCRIT again.
 ; An update refused on a replication secondary (SCNDDBNOUPD) says where writes go.
 quit "set %qdoer=$ecode_$char(0)_$zstatus,$ecode="""" set:$zstatus[""STPCRIT"" $zstrpllim=$zstrpllim set:$zstatus[""SCNDDBNOUPD"" %qdoer=%qdoer_$$nowrite^qdorepl() trollback:$tlevel  zgoto "_%qdozl_":fail^qdosrv"
fail quit 1
 ;
batch() ; 1: this server serves the batch request "b" (clients ask before they send one)
 quit 1
 ;
nop() ; nothing: lets a pending stop of the process take effect
 quit 0
 ;
get(%qdonm,%qdon,%qdo1,%qdo2,%qdo3,%qdo4,%qdo5,%qdo6,%qdo7,%qdo8,%qdov,%qdoer) ; a plain reference
 new $etrap set $etrap=$$trap($zlevel),%qdoer=""
 if %qdon=0 set %qdov=@%qdonm quit 0
 if %qdon=1 set %qdov=@%qdonm@(%qdo1) quit 0
 if %qdon=2 set %qdov=@%qdonm@(%qdo1,%qdo2) quit 0
 if %qdon=3 set %qdov=@%qdonm@(%qdo1,%qdo2,%qdo3) quit 0
 if %qdon=4 set %qdov=@%qdonm@(%qdo1,%qdo2,%qdo3,%qdo4) quit 0
 if %qdon=5 set %qdov=@%qdonm@(%qdo1,%qdo2,%qdo3,%qdo4,%qdo5) quit 0
 if %qdon=6 set %qdov=@%qdonm@(%qdo1,%qdo2,%qdo3,%qdo4,%qdo5,%qdo6) quit 0
 if %qdon=7 set %qdov=@%qdonm@(%qdo1,%qdo2,%qdo3,%qdo4,%qdo5,%qdo6,%qdo7) quit 0
 set %qdov=@%qdonm@(%qdo1,%qdo2,%qdo3,%qdo4,%qdo5,%qdo6,%qdo7,%qdo8) quit 0
 ;
set(%qdonm,%qdon,%qdo1,%qdo2,%qdo3,%qdo4,%qdo5,%qdo6,%qdo7,%qdo8,%qdov,%qdoer) ; a plain reference
 new $etrap set $etrap=$$trap($zlevel),%qdoer=""
 if %qdon=0 set @%qdonm=%qdov quit 0
 if %qdon=1 set @%qdonm@(%qdo1)=%qdov quit 0
 if %qdon=2 set @%qdonm@(%qdo1,%qdo2)=%qdov quit 0
 if %qdon=3 set @%qdonm@(%qdo1,%qdo2,%qdo3)=%qdov quit 0
 if %qdon=4 set @%qdonm@(%qdo1,%qdo2,%qdo3,%qdo4)=%qdov quit 0
 if %qdon=5 set @%qdonm@(%qdo1,%qdo2,%qdo3,%qdo4,%qdo5)=%qdov quit 0
 if %qdon=6 set @%qdonm@(%qdo1,%qdo2,%qdo3,%qdo4,%qdo5,%qdo6)=%qdov quit 0
 if %qdon=7 set @%qdonm@(%qdo1,%qdo2,%qdo3,%qdo4,%qdo5,%qdo6,%qdo7)=%qdov quit 0
 set @%qdonm@(%qdo1,%qdo2,%qdo3,%qdo4,%qdo5,%qdo6,%qdo7,%qdo8)=%qdov quit 0
 ;
 ; The most common references, with one to three subscripts, have entries of their own: every
 ; argument of a call-in costs GT.M time (some 75 ns), and the entries above take eleven.
get1(%qdonm,%qdo1,%qdov,%qdoer)
 new $etrap set $etrap=$$trap($zlevel),%qdoer=""
 set %qdov=@%qdonm@(%qdo1) quit 0
get2(%qdonm,%qdo1,%qdo2,%qdov,%qdoer)
 new $etrap set $etrap=$$trap($zlevel),%qdoer=""
 set %qdov=@%qdonm@(%qdo1,%qdo2) quit 0
get3(%qdonm,%qdo1,%qdo2,%qdo3,%qdov,%qdoer)
 new $etrap set $etrap=$$trap($zlevel),%qdoer=""
 set %qdov=@%qdonm@(%qdo1,%qdo2,%qdo3) quit 0
set1(%qdonm,%qdo1,%qdov,%qdoer)
 new $etrap set $etrap=$$trap($zlevel),%qdoer=""
 set @%qdonm@(%qdo1)=%qdov quit 0
set2(%qdonm,%qdo1,%qdo2,%qdov,%qdoer)
 new $etrap set $etrap=$$trap($zlevel),%qdoer=""
 set @%qdonm@(%qdo1,%qdo2)=%qdov quit 0
set3(%qdonm,%qdo1,%qdo2,%qdo3,%qdov,%qdoer)
 new $etrap set $etrap=$$trap($zlevel),%qdoer=""
 set @%qdonm@(%qdo1,%qdo2,%qdo3)=%qdov quit 0
 ;
kill(%qdonm,%qdon,%qdo1,%qdo2,%qdo3,%qdo4,%qdo5,%qdo6,%qdo7,%qdo8,%qdoer) ; a plain reference
 new $etrap set $etrap=$$trap($zlevel),%qdoer=""
 if %qdon=0 kill @%qdonm quit 0
 if %qdon=1 kill @%qdonm@(%qdo1) quit 0
 if %qdon=2 kill @%qdonm@(%qdo1,%qdo2) quit 0
 if %qdon=3 kill @%qdonm@(%qdo1,%qdo2,%qdo3) quit 0
 if %qdon=4 kill @%qdonm@(%qdo1,%qdo2,%qdo3,%qdo4) quit 0
 if %qdon=5 kill @%qdonm@(%qdo1,%qdo2,%qdo3,%qdo4,%qdo5) quit 0
 if %qdon=6 kill @%qdonm@(%qdo1,%qdo2,%qdo3,%qdo4,%qdo5,%qdo6) quit 0
 if %qdon=7 kill @%qdonm@(%qdo1,%qdo2,%qdo3,%qdo4,%qdo5,%qdo6,%qdo7) quit 0
 kill @%qdonm@(%qdo1,%qdo2,%qdo3,%qdo4,%qdo5,%qdo6,%qdo7,%qdo8) quit 0
 ;
bat(%qdoin,%qdodl,%qdoct,%qdofs,%qdop,%qdorc,%qdodn,%qdoer) ; a run of a batch's operations
 ; %qdoin holds %qdoct plain reads, writes and kills, each as fields that end in the byte
 ; %qdodl: the kind (r, w or k), the name, the subscript count (0 to 3), the subscripts and a
 ; write's value. Runs them from operation %qdofs (from 0), which starts at byte %qdop, and
 ; puts their records in %qdorc as the batch reply has them ("V" length ":" value for a read,
 ; "D" for a write or a kill); %qdodn becomes the index of the first operation not run.
 ; Returns 0 when all ran, 2 when the next one's record would take %qdorc past 1 MiB. After an
 ; error %qdorc holds the records of the operations before it.
 ; Records gather in %qdobf, which joins %qdorc every 2000 bytes or so (see grp).
 new $etrap set $etrap="set %qdorc=%qdorc_%qdobf "_$$trap($zlevel),%qdoer=""
 new %qdobf,%qdok,%qdonm,%qdon,%qdo1,%qdo2,%qdo3,%qdov,%qdor,%qdoln,%qdomr,%qdoe,%qdos
 set %qdorc="",%qdobf="",%qdoln=0,%qdomr=0
 for %qdodn=%qdofs:1:%qdoct-1 do bat1 quit:%qdomr
 set %qdorc=%qdorc_%qdobf
 if %qdomr quit 2
 set %qdodn=%qdoct
 quit 0
bat1 ; the operation of bat that starts at byte %qdop; leaves %qdop at the next one
 set %qdos=%qdop
 set %qdoe=$zfind(%qdoin,%qdodl,%qdop),%qdok=$zextract(%qdoin,%qdop,%qdoe-2),%qdop=%qdoe
 set %qdoe=$zfind(%qdoin,%qdodl,%qdop),%qdonm=$zextract(%qdoin,%qdop,%qdoe-2),%qdop=%qdoe
 set %qdoe=$zfind(%qdoin,%qdodl,%qdop),%qdon=$zextract(%qdoin,%qdop,%qdoe-2),%qdop=%qdoe
 if %qdon set %qdoe=$zfind(%qdoin,%qdodl,%qdop),%qdo1=$zextract(%qdoin,%qdop,%qdoe-2),%qdop=%qdoe
 if %qdon>1 set %qdoe=$zfind(%qdoin,%qdodl,%qdop),%qdo2=$zextract(%qdoin,%qdop,%qdoe-2),%qdop=%qdoe
 if %qdon>2 set %qdoe=$zfind(%qdoin,%qdodl,%qdop),%qdo3=$zextract(%qdoin,%qdop,%qdoe-2),%qdop=%qdoe
 if %qdok'="r" goto batwk
 if %qdon=1 set %qdov=@%qdonm@(%qdo1)
 else  if %qdon=2 set %qdov=@%qdonm@(%qdo1,%qdo2)
 else  if %qdon=3 set %qdov=@%qdonm@(%qdo1,%qdo2,%qdo3)
 else  set %qdov=@%qdonm
 set %qdor=$length(%qdov),%qdor=%qdor+$length(%qdor)+2
 if %qdoln+%qdor>1048576 set %qdomr=1,%qdop=%qdos quit
 set %qdobf=%qdobf_"V"_$length(%qdov)_":"_%qdov,%qdoln=%qdoln+%qdor
 set:$length(%qdobf)>2000 %qdorc=%qdorc_%qdobf,%qdobf=""
 quit
batwk ; a write or a kill of bat1
 if %qdoln+1>1048576 set %qdomr=1,%qdop=%qdos quit
 if %qdok="w" do
 . set %qdoe=$zfind(%qdoin,%qdodl,%qdop),%qdov=$zextract(%qdoin,%qdop,%qdoe-2),%qdop=%qdoe
 . if %qdon=1 set @%qdonm@(%qdo1)=%qdov
 . else  if %qdon=2 set @%qdonm@(%qdo1,%qdo2)=%qdov
 . else  if %qdon=3 set @%qdonm@(%qdo1,%qdo2,%qdo3)=%qdov
 . else  set @%qdonm=%qdov
 else  do
 . if %qdon=1 kill @%qdonm@(%qdo1)
 . else  if %qdon=2 kill @%qdonm@(%qdo1,%qdo2)
 . else  if %qdon=3 kill @%qdonm@(%qdo1,%qdo2,%qdo3)
 . else  kill @%qdonm
 set %qdobf=%qdobf_"D",%qdoln=%qdoln+1
 set:$length(%qdobf)>2000 %qdorc=%qdorc_%qdobf,%qdobf=""
 quit
 ;
eval(%qdox,%qdov,%qdoer) ; the value of any M expression
 ; %qdov is set first: an expression whose code ZGOTOs back into this frame skips the xecute's
 ; SET, and an output M never sets comes back as whatever its buffer held before.
 new $etrap set $etrap=$$trap($zlevel),%qdoer="",%qdov=""
 xecute "set %qdov="_%qdox
 quit 0
 ;
seti(%qdorf,%qdov,%qdoer) ; set a reference given as text
 new $etrap set $etrap=$$trap($zlevel),%qdoer=""
 set @%qdorf=%qdov
 quit 0
 ;
killi(%qdorf,%qdoer) ; kill a reference given as text
 new $etrap set $etrap=$$trap($zlevel),%qdoer=""
 kill @%qdorf
 quit 0
 ;
xec(%qdoln,%qdoer) ; run a command line
 new $etrap set $etrap=$$trap($zlevel),%qdoer=""
 xecute %qdoln
 quit 0
 ;
gld(%qdogd,%qdoer) ; switch to another global directory
 new $etrap set $etrap=$$trap($zlevel),%qdoer=""
 set $zgbldir=%qdogd
 quit 0
 ;
grp(%qdort,%qdocr,%qdolm,%qdoch,%qdonx,%qdoer) ; the next chunk of a subtree
 ; %qdoch becomes an M list of reference, value, ... of the nodes of the subtree of %qdort
 ; after the node %qdocr ("" to start with the root), at most %qdolm bytes; %qdonx the last
 ; node taken. Returns 0 when the subtree is done, 2 when more nodes follow.
 ; The walk keeps the path from the top: %qdosb(l) is the subscript at level l. The children
 ; of a node at level l-1 are walked by the line $$lvl(l) builds, which names them through
 ; %qdosb(1..l-1) and so is the same text for every parent at that level: GT.M compiles it
 ; once per level and call, and runs it without indirection per node. That line takes the
 ; short leaves that fit (most nodes) and stops at any other node, which the loop below
 ; takes: a value of 254 bytes or more, a node with children, or a node that does not fit.
 ; Elements gather in %qdobf, which joins %qdoch every 2000 bytes or so: GT.M copies the
 ; whole of a string it appends to, so appending each element to the chunk itself would cost
 ; time in proportion to the chunk's length, for every node.
 new $etrap set $etrap=$$trap($zlevel),%qdoer=""
 new %qdodp,%qdol,%qdosb,%qdos,%qdorf,%qdopr,%qdod,%qdov,%qdoi,%qdoln,%qdopf,%qdoxc,%qdobf
 set %qdoch="",%qdonx=%qdocr,%qdodp=$qlength(%qdort),%qdopf=$$pfx(%qdort)
 if %qdocr="" do  quit:%qdoer'="" 1
 . set %qdonx=%qdort
 . quit:'($data(@%qdort)#2)
 . set %qdopr=$$el(%qdort)_$$el(@%qdort)
 . if $length(%qdopr)>%qdolm do toolong quit
 . set %qdoch=%qdopr
 set %qdoln=$length(%qdoch),%qdobf=""
 ; resume below the last node taken, then after it, level by level
 set %qdol=$qlength(%qdonx)
 for %qdoi=1:1:%qdol set %qdosb(%qdoi)=$qsubscript(%qdonx,%qdoi)
 set %qdol=%qdol+1,%qdosb(%qdol)="",%qdopr=1
 for  quit:%qdol'>%qdodp  quit:%qdopr=""  do
 . set:'$data(%qdoxc(%qdol)) %qdoxc(%qdol)=$$lvl(%qdol)
 . set %qdos=%qdosb(%qdol)
 . xecute %qdoxc(%qdol)
 . set %qdosb(%qdol)=%qdos
 . if %qdos="" set %qdol=%qdol-1 quit
 . if %qdod#2 do  quit:%qdopr=""
 . . set %qdopr=$$el(%qdorf)_$$el(%qdov)
 . . if %qdoln+$length(%qdopr)>%qdolm set %qdopr="" quit
 . . set %qdobf=%qdobf_%qdopr,%qdoln=%qdoln+$length(%qdopr),%qdonx=%qdorf
 . if %qdod>1 set %qdol=%qdol+1,%qdosb(%qdol)=""
 set %qdoch=%qdoch_%qdobf
 if %qdol'>%qdodp quit 0
 if %qdoch="" do toolong quit 1
 quit 2
lvl(%qdol) ; the line that walks the children at level %qdol from %qdos on (see grp)
 new %qdoc,%qdoi
 set %qdoc=%qdopf_"(" for %qdoi=1:1:%qdol-1 set %qdoc=%qdoc_"%qdosb("_%qdoi_"),"
 set %qdoc=%qdoc_"%qdos)"
 quit "for  set %qdos=$order("_%qdoc_") quit:%qdos=""""  set %qdod=$data("_%qdoc_"),%qdorf=$name("_%qdoc_") set:%qdod#2 %qdov="_%qdoc_" quit:%qdod'=1  quit:$length(%qdorf)>253  quit:$length(%qdov)>253  set %qdopr=$length(%qdorf)+$length(%qdov)+4 quit:%qdoln+%qdopr>%qdolm  set %qdobf=%qdobf_$char($length(%qdorf)+2,1)_%qdorf_$char($length(%qdov)+2,1)_%qdov,%qdoln=%qdoln+%qdopr,%qdonx=%qdorf set:$length(%qdobf)>2000 %qdoch=%qdoch_%qdobf,%qdobf="""""
pfx(%qdorf) ; the name of reference %qdorf as M code, with its global directory if it has one
 new %qdoen set %qdoen=$qsubscript(%qdorf,-1)
 quit:%qdoen="" $qsubscript(%qdorf,0)
 quit "^|"""_$$dbl(%qdoen)_"""|"_$extract($qsubscript(%qdorf,0),2,$length(%qdorf))
dbl(%qdos) ; %qdos with each quote doubled
 new %qdoi,%qdor set %qdor=""
 for %qdoi=1:1:$length(%qdos,"""") set %qdor=%qdor_$select(%qdoi>1:"""""",1:"")_$piece(%qdos,"""",%qdoi)
 quit %qdor
toolong
 set %qdoer=",UGRPTOOLONG,"_$char(0)_"%QDO-E-GRPTOOLONG, A node of the subtree does not fit a chunk of "_%qdolm_" bytes"
 quit
 ;
el(%qdos) ; the M list element of a string
 new %qdon set %qdon=$length(%qdos)+1
 quit:%qdon<255 $char(%qdon+1,1)_%qdos
 quit $char(0,%qdon#256,%qdon\256,1)_%qdos
 ;
 ; ---- Called by clients' lines by name (they run inside this routine) ----
 ; The M calls leave an error code in %qdoxe, raised as $ECODE ",U<code>,". (%qdoer is the
 ; error text of the entry that runs the line: the trap sets it where the error happens, so no
 ; label below may NEW it.)
 ;
CreateBLOB(%qdonm) ; a new BLOB named %qdonm; returns its identifier
 ; The header ^BLOB(id) is name~blocks~bytes~created ($HOROLOG); a "~" of the name becomes "-".
 new %qdoid set %qdoid=$increment(^BLOB)
 set ^BLOB(%qdoid)=$translate(%qdonm,"~","-")_"~0~0~"_$horolog
 quit %qdoid
 ;
ClearBLOB(%qdoid,%qdox) ; removes the blocks of BLOB %qdoid and zeroes its counts
 new %qdoh set %qdoh=$get(^BLOB(%qdoid))
 kill ^BLOB(%qdoid)
 set $piece(%qdoh,"~",2,3)="0~0",^BLOB(%qdoid)=%qdoh
 quit
 ;
AddBLOBBlock(%qdoid,%qdodt) ; appends %qdodt to BLOB %qdoid as its next block
 new %qdoh,%qdon set %qdoh=$get(^BLOB(%qdoid)),%qdon=$piece(%qdoh,"~",2)+1
 set ^BLOB(%qdoid,%qdon)=%qdodt
 set $piece(%qdoh,"~",2)=%qdon,$piece(%qdoh,"~",3)=$piece(%qdoh,"~",3)+$length(%qdodt)
 set ^BLOB(%qdoid)=%qdoh
 quit
 ;
DeleteBLOB(%qdoid) ; removes BLOB %qdoid
 kill ^BLOB(%qdoid)
 quit
 ;
SubsMsgs(%qdonm,%qdoon,%qdofl,%qdocb) ; subscribes this job to the event %qdonm (%qdoon=1), or
 ; unsubscribes it (%qdoon=0); with %qdofl=1 each event waits for the client's acknowledgement
 ; before the next. %qdocb names the client's handler; this server does not use it.
 new %qdoxe set %qdoxe=""
 do &qdo.subsmsgs(%qdonm,+%qdoon,+$get(%qdofl),.%qdoxe)
 if %qdoxe'="" set $ecode=",U"_%qdoxe_","
 quit
 ;
SendMsg(%qdonm,%qdopm) ; delivers the event %qdonm with parameters %qdopm to every job
 ; subscribed to it, from a job or any M process of the data directory; as a function, it
 ; returns how many jobs it reached.
 new %qdoxe,%qdon set %qdoxe="",%qdon=0
 do &qdo.sendmsg(%qdonm,$get(%qdopm),.%qdon,.%qdoxe)
 if %qdoxe'="" set $ecode=",U"_%qdoxe_","
 quit:$quit %qdon quit
 ;
Callback(%qdocm) ; the answer of this job's client to %qdocm, asked while a request runs
 new %qdoxe,%qdoan set %qdoxe="",%qdoan=""
 do &qdo.callback(%qdocm,.%qdoan,.%qdoxe)
 if %qdoxe'="" set $ecode=",U"_%qdoxe_","
 quit %qdoan
 ;
ClientCall(%qdose,%qdocm,%qdoto) ; the answer of the idle client of session %qdose to %qdocm,
 ; from any process; waits at most %qdoto seconds (30 when not given)
 new %qdoxe,%qdoan set %qdoxe="",%qdoan=""
 do &qdo.clientcall(%qdose,%qdocm,$get(%qdoto,30)*1000\1,.%qdoan,.%qdoxe)
 if %qdoxe'="" set $ecode=",U"_%qdoxe_","
 quit %qdoan
 ;
Session() ; this job's session identifier ("" outside a job, or without a session)
 new %qdose set %qdose=""
 do &qdo.session(.%qdose)
 quit %qdose
