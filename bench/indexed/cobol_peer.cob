      * The COBOL runtime's own indexed handler (GnuCOBOL, whose indexed
      * files live in Berkeley DB) on the records of indexed_bench, one
      * phase per run: indexed_bench times the whole run and takes off a
      * run of phase "scan" over the same input, so that what remains is
      * the indexed file's work.
      *
      *   cobol_peer load  FILE INPUT   a new FILE, INPUT's records
      *                                 written in their order
      *   cobol_peer scan  -    INPUT   INPUT read only
      *   cobol_peer walk0 FILE -       every record in key 0 order
      *   cobol_peer walk1 FILE -       every record in key 1 order
      *   cobol_peer keyed FILE INPUT   FILE read by the key 0 at the
      *                                 front of every INPUT record
      *
      * INPUT holds 100-byte records back to back. The program prints the
      * number of records it handled; a walk out of order, a failed
      * operation or an unknown phase ends it with status 2.
       IDENTIFICATION DIVISION.
       PROGRAM-ID. cobol-peer.
       ENVIRONMENT DIVISION.
       INPUT-OUTPUT SECTION.
       FILE-CONTROL.
           SELECT IDX ASSIGN TO DYNAMIC WS-IDX-NAME
               ORGANIZATION IS INDEXED
               ACCESS MODE IS DYNAMIC
               RECORD KEY IS IDX-KEY0
               ALTERNATE RECORD KEY IS IDX-KEY1 WITH DUPLICATES
               FILE STATUS IS WS-STATUS.
           SELECT INP ASSIGN TO DYNAMIC WS-INP-NAME
               ORGANIZATION IS SEQUENTIAL
               FILE STATUS IS WS-INP-STATUS.
       DATA DIVISION.
       FILE SECTION.
       FD  IDX.
       01  IDX-RECORD.
           05 IDX-KEY0     PIC X(8).
           05 IDX-KEY1     PIC X(10).
           05 FILLER       PIC X(82).
       FD  INP.
       01  INP-RECORD      PIC X(100).
       WORKING-STORAGE SECTION.
       01  WS-IDX-NAME     PIC X(256).
       01  WS-INP-NAME     PIC X(256).
       01  WS-PHASE        PIC X(8).
       01  WS-STATUS       PIC XX.
       01  WS-INP-STATUS   PIC XX.
       01  WS-COUNT        PIC 9(9) VALUE 0.
       01  WS-EOF          PIC X VALUE 'N'.
       01  WS-PREV         PIC X(10) VALUE LOW-VALUES.
       PROCEDURE DIVISION.
           ACCEPT WS-PHASE FROM ARGUMENT-VALUE
           ACCEPT WS-IDX-NAME FROM ARGUMENT-VALUE
           ACCEPT WS-INP-NAME FROM ARGUMENT-VALUE
           EVALUATE WS-PHASE
             WHEN 'load'
               OPEN OUTPUT IDX
               PERFORM EACH-INPUT
               CLOSE IDX
             WHEN 'scan'  PERFORM EACH-INPUT
             WHEN 'walk0' PERFORM WALK-KEY0
             WHEN 'walk1' PERFORM WALK-KEY1
             WHEN 'keyed'
               OPEN INPUT IDX
               PERFORM EACH-INPUT
               CLOSE IDX
             WHEN OTHER
               DISPLAY 'cobol-peer: unknown phase ' WS-PHASE
                 UPON SYSERR
               STOP RUN RETURNING 2
           END-EVALUATE
           DISPLAY WS-COUNT
           STOP RUN.
       FAIL.
           DISPLAY 'cobol-peer: ' WS-PHASE ' status ' WS-STATUS
             ' input ' WS-INP-STATUS ' after ' WS-COUNT UPON SYSERR
           STOP RUN RETURNING 2.
      * Every record of INPUT through ON-INPUT-RECORD ("scan" does
      * nothing with it, so its run is the loop's own cost).
       EACH-INPUT.
           IF WS-PHASE NOT = 'scan' AND WS-STATUS NOT = '00'
             PERFORM FAIL
           END-IF
           OPEN INPUT INP
           PERFORM UNTIL WS-EOF = 'Y'
             READ INP
               AT END MOVE 'Y' TO WS-EOF
               NOT AT END
                 PERFORM ON-INPUT-RECORD
                 ADD 1 TO WS-COUNT
             END-READ
           END-PERFORM
           CLOSE INP.
       ON-INPUT-RECORD.
           EVALUATE WS-PHASE
             WHEN 'load'
               WRITE IDX-RECORD FROM INP-RECORD
               IF WS-STATUS NOT = '00' AND NOT = '02'
                 PERFORM FAIL
               END-IF
             WHEN 'keyed'
               MOVE INP-RECORD(1:8) TO IDX-KEY0
               READ IDX KEY IS IDX-KEY0
               IF WS-STATUS NOT = '00' PERFORM FAIL END-IF
           END-EVALUATE.
       WALK-KEY0.
           OPEN INPUT IDX
           IF WS-STATUS NOT = '00' PERFORM FAIL END-IF
           PERFORM UNTIL WS-EOF = 'Y'
             READ IDX NEXT RECORD
               AT END MOVE 'Y' TO WS-EOF
               NOT AT END
                 IF IDX-KEY0 NOT > WS-PREV(1:8) PERFORM FAIL END-IF
                 MOVE IDX-KEY0 TO WS-PREV
                 ADD 1 TO WS-COUNT
             END-READ
           END-PERFORM
           CLOSE IDX.
       WALK-KEY1.
           OPEN INPUT IDX
           IF WS-STATUS NOT = '00' PERFORM FAIL END-IF
           MOVE LOW-VALUES TO IDX-KEY1
           START IDX KEY IS NOT LESS THAN IDX-KEY1
           IF WS-STATUS NOT = '00' PERFORM FAIL END-IF
           PERFORM UNTIL WS-EOF = 'Y'
             READ IDX NEXT RECORD
               AT END MOVE 'Y' TO WS-EOF
               NOT AT END
                 IF IDX-KEY1 < WS-PREV PERFORM FAIL END-IF
                 MOVE IDX-KEY1 TO WS-PREV
                 ADD 1 TO WS-COUNT
             END-READ
           END-PERFORM
           CLOSE IDX.
