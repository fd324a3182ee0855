qdosrv ; Entry points through which the qdo server's jobs run their clients' requests.
 ; Every entry traps any M error, rolls back an open transaction, and returns 1 with the
 ; error's $ECODE and $ZSTATUS in %qdoer (joined by a NUL byte); it returns 0 on success.
 ; Formal parameters carry a %qdo prefix so that they do not hide the client's own locals.
 quit
 ;
trap(%qdozl) ; the error trap of an entry called at level %qdozl
 quit "set %qdoer=$ecode_$char(0)_$zstatus,$ecode="""" trollback:$tlevel  zgoto "_%qdozl_":fail^qdosrv"
fail quit 1
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
eval(%qdox,%qdov,%qdoer) ; the value of any M expression
 new $etrap set $etrap=$$trap($zlevel),%qdoer=""
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
 new $etrap set $etrap=$$trap($zlevel),%qdoer=""
 new %qdorf,%qdopr
 set %qdoch="",%qdonx=%qdocr
 if %qdonx="" do  quit:%qdoer'="" 1
 . set %qdonx=%qdort
 . quit:'($data(@%qdort)#2)
 . set %qdopr=$$el(%qdort)_$$el(@%qdort)
 . if $length(%qdopr)>%qdolm do toolong quit
 . set %qdoch=%qdopr
 set %qdorf=%qdonx
 for  set %qdorf=$query(@%qdorf) quit:%qdorf=""  quit:'$$under(%qdort,%qdorf)  do  quit:%qdopr=""
 . set %qdopr=$$el(%qdorf)_$$el(@%qdorf)
 . if $length(%qdoch)+$length(%qdopr)>%qdolm set %qdopr="" quit
 . set %qdoch=%qdoch_%qdopr,%qdonx=%qdorf
 if %qdorf=""!'$$under(%qdort,%qdorf) quit 0
 if %qdoch="" do toolong quit 1
 quit 2
toolong
 set %qdoer=",UGRPTOOLONG,"_$char(0)_"%QDO-E-GRPTOOLONG, A node of the subtree does not fit a chunk of "_%qdolm_" bytes"
 quit
 ;
under(%qdort,%qdorf) ; whether %qdorf lies in the subtree of %qdort
 new %qdoi,%qdok
 if $qsubscript(%qdorf,0)'=$qsubscript(%qdort,0) quit 0
 if $qlength(%qdorf)<$qlength(%qdort) quit 0
 set %qdok=1
 for %qdoi=1:1:$qlength(%qdort) if $qsubscript(%qdorf,%qdoi)'=$qsubscript(%qdort,%qdoi) set %qdok=0 quit
 quit %qdok
 ;
el(%qdos) ; the M list element of a string
 new %qdon set %qdon=$length(%qdos)+1
 quit:%qdon<255 $char(%qdon+1,1)_%qdos
 quit $char(0,%qdon#256,%qdon\256,1)_%qdos
